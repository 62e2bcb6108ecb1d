"""track: the C++ driver's tracks from the same field, whatever the layout or thread count, and
the interpreter lock released while it runs; bad arguments of every binding in one table."""

import os
import subprocess
import threading
import time

import numpy as np
import pytest

import fibrejoin


def field(size=24):
    """Arcs about the z axis (FA 0.71) in a cube of 2 mm voxels, isotropic outside them."""
    i, j, k = np.meshgrid(*(np.arange(size) + 0.5,) * 3, indexing="ij")
    x, y = i - size / 2, j - size / 2
    r = np.hypot(x, y)
    e = np.stack([-y, x, np.zeros_like(x)], -1) / np.maximum(r, 1e-6)[..., None]
    inside = (r > size / 6) & (r < size / 2.2) & (k > 4) & (k < size - 4)
    d = 0.35 * np.eye(3) + 1.25 * e[..., :, None] * e[..., None, :]
    d[~inside] = 0.7 * np.eye(3)
    upper = d[..., [0, 0, 0, 1, 1, 2], [0, 1, 2, 1, 2, 2]] * 1e-3
    return upper.astype(np.float32)


TENSORS = field()


@pytest.mark.parametrize("method", [0, 2])
def test_tracks_equal_the_driver_on_a_tensor_image(tmp_path, method):
    reference = os.environ.get("FIBREJOIN_TRACK_REFERENCE")
    if not reference:
        pytest.skip("FIBREJOIN_TRACK_REFERENCE names the C++ reference program")
    fibrejoin.write_image(tmp_path / "t.nii", TENSORS, np.diag([2.0, 2.0, 2.0, 1.0]))
    subprocess.run([reference, str(tmp_path / "t.nii"), str(tmp_path / "ref.trk"), str(method),
                    "0.1", "2"], check=True, stdout=subprocess.DEVNULL)
    expected = fibrejoin.load(tmp_path / "ref.trk")
    image = fibrejoin.read_tensor_image(tmp_path / "t.nii")
    name = ["fact", "fixed_step", "rk2", "tensorline"][method]
    got = fibrejoin.track(image.tensors, image.voxel_size, method=name, threads=1)
    assert len(expected) > 100
    np.testing.assert_array_equal(got.offsets, expected.offsets)
    np.testing.assert_array_equal(got.points, expected.points)
    # A C-ordered float64 copy, on two threads, and the seeds given as a list.
    centres = (np.argwhere(np.ones(TENSORS.shape[:3]), ).astype(np.float32) + 0.5) * 2
    fa_ok = fibrejoin.track(TENSORS.astype(np.float64), [2, 2, 2], method=name, threads=2)
    np.testing.assert_array_equal(fa_ok.points, expected.points)
    order = np.lexsort(centres.T)  # x fastest, as the seed mask numbers voxels
    listed = fibrejoin.track(TENSORS, (2, 2, 2), method=name, seeds=centres[order])
    np.testing.assert_array_equal(listed.points, expected.points)
    assert got.header["space"] == "voxelmm" and got.header["dims"] == TENSORS.shape[:3]


def test_mask_and_seed_mask_limit_the_tracks():
    everywhere = fibrejoin.track(TENSORS, (2, 2, 2))
    half = np.zeros(TENSORS.shape[:3], bool)
    half[:12] = True
    masked = fibrejoin.track(TENSORS, (2, 2, 2), mask=half)
    assert 0 < len(masked) < len(everywhere) and masked.points[:, 0].max() <= 24
    seeded = fibrejoin.track(TENSORS, (2, 2, 2), seeds=half, seeds_per_voxel=2, rng_seed=5,
                             affine=np.diag([-2.0, 2.0, 2.0, 1.0]))
    assert 0 < len(seeded) and seeded.header["orientation"] == "LAS"


def test_the_lock_is_released_while_tracking():
    # Python code keeps running beside a run: no pause as long as the run, however loaded the
    # machine is.
    big = np.tile(TENSORS, (2, 1, 1, 1))
    worker = threading.Thread(target=fibrejoin.track, args=(big, (2, 2, 2)), kwargs={"threads": 1})
    start = last = time.perf_counter()
    longest = 0.0
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert longest < 0.5 * (time.perf_counter() - start)


T = fibrejoin.Tractogram(np.zeros((2, 3)), [0, 2])
GRID = np.zeros((2, 2, 2))
FIELD = np.zeros((2, 2, 2, 6), np.float32)


@pytest.mark.parametrize("call, error, match", [
    (lambda: fibrejoin.load(5), TypeError, ""),
    (lambda: fibrejoin.load("a.txt"), fibrejoin.FibrejoinError, "a.txt"),
    (lambda: fibrejoin.load("/nonexistent/a.trk"), fibrejoin.FibrejoinError, "a.trk"),
    (lambda: fibrejoin.save("a.trk", "tracks"), TypeError, "tractogram"),
    (lambda: fibrejoin.save("/nonexistent/a.trk", T), fibrejoin.FibrejoinError, "a.trk"),
    (lambda: fibrejoin.save("a.trk", fibrejoin.Tractogram(T.points, T.offsets,
                                                          header={"dims": "xyz"})),
     TypeError, "header"),
    (lambda: fibrejoin.save("a.trk", fibrejoin.Tractogram(T.points, T.offsets, header={
        "voxel_to_world": np.eye(3)})), ValueError, "voxel_to_world"),
    (lambda: fibrejoin.save("a.trk", fibrejoin.Tractogram(T.points, T.offsets, header={
        "scalar_names": ["fa"]})), ValueError, "scalar_names"),
    (lambda: fibrejoin.save("a.trk", fibrejoin.Tractogram(T.points, T.offsets, header={
        "space": "voxel"})), ValueError, "space"),
    (lambda: next(fibrejoin.iter_tracks("a.trk", chunk=0)), ValueError, "chunk"),
    (lambda: next(fibrejoin.iter_tracks("a.trk", chunk=1.5)), TypeError, "chunk"),
    (lambda: fibrejoin.read_image("/nonexistent.nii"), fibrejoin.FibrejoinError, "nonexistent"),
    (lambda: fibrejoin.write_image("a.nii", np.zeros((2, 2)), np.eye(4)), ValueError, "array"),
    (lambda: fibrejoin.write_image("a.nii", GRID.astype(complex), np.eye(4)), TypeError, "array"),
    (lambda: fibrejoin.write_image("a.nii", GRID, np.eye(3)), ValueError, "affine"),
    (lambda: fibrejoin.write_image("a.nii", GRID, "eye"), TypeError, "affine"),
    (lambda: fibrejoin.write_image("a.nii", GRID, np.eye(4), "int32"), ValueError, "dtype"),
    (lambda: fibrejoin.read_tensor_image("t.nii", order="up"), ValueError, "order"),
    (lambda: fibrejoin.read_tensor_image("t.nii", frame="scanner"), ValueError, "frame"),
    (lambda: fibrejoin.track(FIELD[..., :5], (1, 1, 1)), ValueError, "tensors"),
    (lambda: fibrejoin.track(FIELD.astype(bool), (1, 1, 1)), TypeError, "tensors"),
    (lambda: fibrejoin.track(FIELD, (1, 1)), ValueError, "voxel_size"),
    (lambda: fibrejoin.track(FIELD, (1, 0, 1)), ValueError, "voxel_size"),
    (lambda: fibrejoin.track(FIELD, "abc"), TypeError, "voxel_size"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), mask=np.zeros((2, 2, 3))), ValueError, "mask"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), seeds=np.zeros((4, 2))), ValueError, "seeds"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), seeds=["a"]), TypeError, "seeds"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), method="euler"), ValueError, "method"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), threads=1.0), TypeError, "threads"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), seeds_per_voxel=0), ValueError, "seeds_per_voxel"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), affine=np.eye(2)), ValueError, "affine"),
    (lambda: fibrejoin.track(FIELD, (1, 1, 1), step_factor=float("nan")),
     fibrejoin.FibrejoinError, ""),
])
def test_bad_arguments(tmp_path, monkeypatch, call, error, match):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=match):
        call()
