"""fibrejoin.Tractogram: the points-plus-offsets layout, its checks, and nibabel's view of it."""

import numpy as np
import pytest

import fibrejoin

POINTS = np.arange(15, dtype=np.float32).reshape(5, 3)
OFFSETS = np.array([0, 2, 2, 5])


def test_tracks_are_views_of_the_given_arrays():
    t = fibrejoin.Tractogram(POINTS, OFFSETS, properties=[[1], [2], [3]])
    assert len(t) == 3 and t.points is POINTS
    assert [len(track) for track in t] == [2, 0, 3]
    assert np.shares_memory(t[-1], POINTS) and t[-1][0, 0] == 6
    assert t.scalars.shape == (5, 0) and t.properties.dtype == np.float32
    with pytest.raises(IndexError):
        t[3]


@pytest.mark.parametrize("arguments, error", [
    (dict(points=POINTS[:, :2]), ValueError),
    (dict(points="points"), TypeError),
    (dict(offsets=[0, 2, 2, 4]), ValueError),  # not up to the point count
    (dict(offsets=[0, 3, 2, 5]), ValueError),
    (dict(offsets=[0.0, 5.0]), TypeError),
    (dict(scalars=np.zeros((4, 1))), ValueError),
    (dict(properties=np.zeros((2, 1))), ValueError),
])
def test_bad_arrays_name_the_argument(arguments, error):
    values = {"points": POINTS, "offsets": OFFSETS, **arguments}
    with pytest.raises(error, match=next(iter(arguments))):
        fibrejoin.Tractogram(**values)


def test_nibabel_sees_the_same_memory():
    nibabel = pytest.importorskip("nibabel")
    t = fibrejoin.Tractogram(POINTS, OFFSETS, scalars=POINTS[:, :2] * 2, properties=[[7], [8], [9]],
                             header={"scalar_names": ["fa", "fa"], "property_names": ["id"]})
    converted = t.to_nibabel()
    assert isinstance(converted, nibabel.streamlines.Tractogram)
    # nibabel's own accessor copies; its storage is what must be shared.
    assert np.shares_memory(converted.streamlines._data, POINTS)
    assert [len(s) for s in converted.streamlines] == [2, 0, 3]
    np.testing.assert_array_equal(converted.streamlines[2], POINTS[2:])
    assert sorted(converted.data_per_point) == ["fa", "scalar_1"]
    np.testing.assert_array_equal(converted.data_per_point["scalar_1"][2][:, 0], POINTS[2:, 1] * 2)
    np.testing.assert_array_equal(converted.data_per_streamline["id"][:, 0], [7, 8, 9])
