"""load, save and iter_tracks against files laid out byte by byte and against nibabel's readers;
read_image, write_image and read_tensor_image against nibabel."""

import numpy as np
import pytest

import fibrejoin
import trackfiles

nibabel = pytest.importorskip("nibabel")

# An oblique voxel-to-world matrix whose axes follow L, P, S, and one whose axes (R, A, S)
# differ from the orientation code the file states (LPS): the reader reorders the axes.
OBLIQUE = np.array([[-0.98, 0.17, 0.0, 90], [-0.17, -0.98, 0.1, 120], [0, 0.1, 2.5, -60],
                    [0, 0, 0, 1]])
RAS = np.diag([1.0, 1.0, 2.5, 1.0])


def trk(path, matrix, scalars=1, properties=2, count=4, code=b"LPS"):
    h = trackfiles.header(["fa"] * scalars, ["id", "length"][:properties])
    h["aux_matrix"], h["orientation"] = matrix.ravel(), code
    tracks = [trackfiles.track(2 + i, i, scalars, properties) for i in range(count)]
    trackfiles.write(path, h, tracks)
    return tracks


# Files of other writers may also store points along other axes than the matrix's, permuted.
@pytest.mark.parametrize("matrix, code", [(OBLIQUE, b"LPS"), (RAS, b"LPS"), (OBLIQUE, b"ASL"),
                                          (OBLIQUE, b"SRP")],
                         ids=["oblique", "reordered", "permuted", "permuted-flipped"])
def test_trk_loads_as_written_and_as_nibabel_reads_it(tmp_path, matrix, code):
    tracks = trk(tmp_path / "a.trk", matrix, code=code)
    t = fibrejoin.load(tmp_path / "a.trk")
    assert t.header["dims"] == (10, 20, 30) and t.header["voxel_size"] == (1.0, 1.0, 2.5)
    assert t.header["scalar_names"] == ["fa"] and t.header["property_names"] == ["id", "length"]
    assert t.header["space"] == "voxelmm" and t.header["stored_track_count"] == 4
    np.testing.assert_array_equal(t.offsets, np.cumsum([0] + [len(p) for p, _, _ in tracks]))
    np.testing.assert_array_equal(t.points, np.vstack([p for p, _, _ in tracks]))
    np.testing.assert_array_equal(t.scalars, np.vstack([s for _, s, _ in tracks]))
    np.testing.assert_array_equal(t.properties, np.vstack([q for _, _, q in tracks]))
    assert t.points.base is not None and t.points.flags.c_contiguous

    ours, theirs = t.to_nibabel(), nibabel.streamlines.load(tmp_path / "a.trk").tractogram
    np.testing.assert_allclose(ours.streamlines.get_data(), theirs.streamlines.get_data(),
                               atol=1e-4)
    np.testing.assert_array_equal(ours.data_per_point["fa"].get_data(),
                                  theirs.data_per_point["fa"].get_data())
    for name in ("id", "length"):
        np.testing.assert_array_equal(ours.data_per_streamline[name],
                                      theirs.data_per_streamline[name])


def test_tck_written_by_nibabel_loads_in_world_mm(tmp_path):
    lines = [np.random.default_rng(i).normal(size=(3 + i, 3)).astype(np.float32) * 20
             for i in range(5)]
    nibabel.streamlines.save(nibabel.streamlines.Tractogram(lines, affine_to_rasmm=np.eye(4)),
                             str(tmp_path / "a.tck"))
    t = fibrejoin.load(str(tmp_path / "a.tck"))
    assert t.header["space"] == "world" and t.header["format"] == "tck" and len(t) == 5
    np.testing.assert_array_equal(t.points, np.vstack(lines))
    assert np.shares_memory(t.to_nibabel().streamlines._data, t.points)  # world mm: no copy


@pytest.mark.parametrize("name", ["b.trk", "b.tck"])
def test_save_then_load_and_nibabel_agree(tmp_path, name):
    trk(tmp_path / "a.trk", OBLIQUE, scalars=0 if name.endswith("tck") else 1,
        properties=0 if name.endswith("tck") else 2)
    t = fibrejoin.load(tmp_path / "a.trk")
    fibrejoin.save(tmp_path / name, t)
    u = fibrejoin.load(tmp_path / name)
    assert len(u) == len(t) and u.scalars.shape == t.scalars.shape
    world = t.to_nibabel().streamlines.get_data()
    np.testing.assert_allclose(u.to_nibabel().streamlines.get_data(), world, atol=1e-4)
    np.testing.assert_array_equal(u.properties, t.properties)
    theirs = nibabel.streamlines.load(tmp_path / name).tractogram
    np.testing.assert_allclose(theirs.streamlines.get_data(), world, atol=1e-4)
    if name.endswith("trk"):
        np.testing.assert_array_equal(u.points, t.points)
        np.testing.assert_array_equal(u.scalars, t.scalars)


def test_save_replaces_unless_told_not_to_and_leaves_nothing_on_failure(tmp_path):
    t = fibrejoin.Tractogram(np.ones((2, 3)), [0, 2], scalars=[[1], [2]])
    fibrejoin.save(tmp_path / "a.trk", t)
    fibrejoin.save(tmp_path / "a.trk", t)  # replaced
    with pytest.raises(fibrejoin.FibrejoinError, match="a.trk"):
        fibrejoin.save(tmp_path / "a.trk", t, replace=False)
    with pytest.raises(fibrejoin.FibrejoinError, match="scalars"):
        fibrejoin.save(tmp_path / "a.tck", t)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.trk"]


def test_chunks_cover_the_file_and_damage_raises(tmp_path):
    tracks = trk(tmp_path / "a.trk", OBLIQUE, count=7)
    whole = fibrejoin.load(tmp_path / "a.trk")
    chunks = list(fibrejoin.iter_tracks(tmp_path / "a.trk", chunk=3))
    assert [len(c) for c in chunks] == [3, 3, 1]
    assert all(c.header == chunks[0].header for c in chunks)
    np.testing.assert_array_equal(np.vstack([c.points for c in chunks]), whole.points)
    np.testing.assert_array_equal(np.vstack([c.properties for c in chunks]), whole.properties)

    h = trackfiles.header(["fa"], ["id", "length"])
    trackfiles.write(tmp_path / "cut.trk", h, tracks, cut=5)
    chunks = fibrejoin.iter_tracks(tmp_path / "cut.trk", chunk=6)
    assert len(next(chunks)) == 6
    with pytest.raises(fibrejoin.FibrejoinError, match="cut.trk.*track 6"):
        next(chunks)
    with pytest.raises(fibrejoin.FibrejoinError, match="cut.trk"):
        fibrejoin.load(tmp_path / "cut.trk")


def test_images_match_nibabel_both_ways(tmp_path):
    values = np.random.default_rng(1).normal(size=(4, 5, 6, 2)).astype(np.float32)
    nibabel.save(nibabel.Nifti1Image(values, OBLIQUE), str(tmp_path / "a.nii.gz"))
    array, affine = fibrejoin.read_image(tmp_path / "a.nii.gz")
    image = nibabel.load(str(tmp_path / "a.nii.gz"))
    np.testing.assert_array_equal(array, image.get_fdata())
    np.testing.assert_allclose(affine, image.affine, atol=1e-6)
    assert array.flags.f_contiguous and array.dtype == np.float32

    fibrejoin.write_image(tmp_path / "b.nii", values[..., 0].astype(np.int16), OBLIQUE)
    image = nibabel.load(str(tmp_path / "b.nii"))
    assert image.get_data_dtype() == np.int16 and image.shape == (4, 5, 6)
    np.testing.assert_array_equal(image.get_fdata(), values[..., 0].astype(np.int16))
    np.testing.assert_allclose(image.affine, OBLIQUE, atol=1e-5)


def test_tensor_image_orders(tmp_path):
    rng = np.random.default_rng(2)
    upper = rng.normal(size=(3, 4, 5, 6)).astype(np.float32)
    lower = upper[..., [0, 1, 3, 2, 4, 5]]
    nibabel.save(nibabel.Nifti1Image(lower, np.diag([2.0, 2.0, 3.0, 1.0])),
                 str(tmp_path / "t.nii"))
    tensors, voxel_size, affine = fibrejoin.read_tensor_image(tmp_path / "t.nii", order="lower")
    np.testing.assert_array_equal(tensors, upper)
    assert voxel_size == (2.0, 2.0, 3.0) and tensors.strides == (24, 72, 288, 4)
    # Taken by track() without a copy.
    np.testing.assert_array_equal(affine, np.diag([2.0, 2.0, 3.0, 1.0]))
