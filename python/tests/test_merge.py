"""fibrejoin.merge: the command's result, its failures as exceptions, argument checking."""

import numpy as np
import pytest

import fibrejoin
import trackfiles


def test_merge_widens_the_layout_and_tags_every_track(tmp_path):
    # The first input has one scalar, the second one property: the output has both, zeros
    # where an input had none, and the input's position as the last property.
    first = [trackfiles.track(2, 1, scalars=1), trackfiles.track(3, 2, scalars=1)]
    second = [trackfiles.track(1, 5, properties=1)]
    trackfiles.write(tmp_path / "a.trk", trackfiles.header(["fa"]), first)
    trackfiles.write(tmp_path / "b.trk", trackfiles.header([], ["length"]), second)

    fibrejoin.merge([tmp_path / "a.trk", str(tmp_path / "b.trk")], tmp_path / "out.trk")

    h, tracks = trackfiles.read(tmp_path / "out.trk")
    assert h["track_count"] == 3 and h["scalar_count"] == 1 and h["property_count"] == 2
    assert list(h["scalar_names"][:1]) == [b"fa"]
    assert list(h["property_names"][:2]) == [b"length", b"DataSetID"]
    expected = [(p, s, [0, 0]) for p, s, _ in first] + [(p, [[0]], [q[0], 1]) for p, _, q in second]
    assert len(tracks) == len(expected)
    for (points, scalars, properties), want in zip(tracks, expected):
        for got, value in zip((points, scalars, properties), want):
            np.testing.assert_array_equal(got, np.asarray(value, np.float32))


@pytest.mark.parametrize("case, message", [
    ("missing", "Can not open track file {missing}"),
    ("grid", "Input tracks have unmatched dimension and/or voxel_size from {grid}"),
    ("same", "Can not write track file {a}"),
    ("cut", "Can not read track data from {cut}"),
])
def test_failures_raise_the_command_message(tmp_path, case, message):
    files = {name: str(tmp_path / f"{name}.trk") for name in ("a", "grid", "cut", "missing")}
    trackfiles.write(files["a"], trackfiles.header(), [trackfiles.track(2, 1)])
    trackfiles.write(files["grid"], trackfiles.header(voxel=(1, 1, 2.6)), [])
    trackfiles.write(files["cut"], trackfiles.header(), [trackfiles.track(2, 3)] * 2, cut=4)
    inputs = {"missing": [files["missing"], files["a"]], "grid": [files["a"], files["grid"]],
              "same": [files["a"], files["a"]], "cut": [files["a"], files["cut"]]}[case]
    output = files["a"] if case == "same" else str(tmp_path / "out.trk")

    with pytest.raises(fibrejoin.FibrejoinError) as raised:
        fibrejoin.merge(inputs, output)
    assert str(raised.value) == message.format(**files)
    if case == "cut":  # the tracks copied so far stay, the count says 0
        h, tracks = trackfiles.read(output)
        assert h["track_count"] == 0 and len(tracks) == 2


@pytest.mark.parametrize("inputs, output, error", [
    ("a.trk", "out.trk", TypeError),  # one path, not a list of paths
    ([1, 2], "out.trk", TypeError),
    (["a.trk", "b.trk"], None, TypeError),
    (["a\0.trk", "b.trk"], "out.trk", TypeError),
    (["a.trk"], "out.trk", ValueError),
])
def test_bad_arguments(inputs, output, error):
    with pytest.raises(error):
        fibrejoin.merge(inputs, output)
