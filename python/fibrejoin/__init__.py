"""fibrejoin: fibre-tractography tools for Python, a thin layer over the C++ library.

Tracks travel as a Tractogram: all points in one float32 array of shape (N, 3) and
per-track offsets into it (int64, T + 1 values), the layout of nibabel's ArraySequence.

    import fibrejoin
    fibrejoin.merge(["left.trk", "right.trk"], "both.trk")

Failures the library reports raise FibrejoinError (a RuntimeError) with its message.
"""

from typing import Any, Dict, Iterator, Mapping, Optional

import numpy as np

from ._fibrejoin import FibrejoinError, merge

__all__ = ["FibrejoinError", "Tractogram", "merge"]


class Tractogram:
    """Tracks as points plus offsets, with optional per-point scalars and per-track properties.

    points      float32 (N, 3), every track's points one after the other (mm)
    offsets     int64 (T + 1,), track i is points[offsets[i]:offsets[i + 1]]
    scalars     float32 (N, S), per point (S may be 0)
    properties  float32 (T, P), per track (P may be 0)
    header      dict of the file header fields (grid, voxel size, names, ...)

    Arrays are taken as given when their dtype and layout already fit, so a Tractogram can
    view memory owned elsewhere; otherwise they are converted once.
    """

    def __init__(
        self,
        points: Any,
        offsets: Any,
        scalars: Any = None,
        properties: Any = None,
        header: Optional[Mapping[str, Any]] = None,
    ) -> None:
        self.points = _array("points", points, np.float32, 2)
        if self.points.shape[1] != 3:
            raise ValueError(f"points: shape (N, 3) expected, got {self.points.shape}")
        self.offsets = _array("offsets", offsets, np.int64, 1)
        n, offsets = len(self.points), self.offsets
        if len(offsets) == 0 or offsets[0] != 0 or offsets[-1] != n or np.any(np.diff(offsets) < 0):
            raise ValueError(f"offsets: must rise from 0 to the point count {n}")
        t = len(offsets) - 1
        self.scalars = _array("scalars", np.zeros((n, 0)) if scalars is None else scalars,
                              np.float32, 2)
        if len(self.scalars) != n:
            raise ValueError(f"scalars: {n} rows expected, got {len(self.scalars)}")
        self.properties = _array("properties",
                                 np.zeros((t, 0)) if properties is None else properties,
                                 np.float32, 2)
        if len(self.properties) != t:
            raise ValueError(f"properties: {t} rows expected, got {len(self.properties)}")
        self.header: Dict[str, Any] = dict(header or {})

    def __len__(self) -> int:
        """The number of tracks."""
        return len(self.offsets) - 1

    def __getitem__(self, index: int) -> np.ndarray:
        """The points of one track, a view into `points` of shape (n, 3)."""
        count = len(self)
        if not -count <= index < count:
            raise IndexError(f"track {index} of {count}")
        index %= count
        return self.points[self.offsets[index]:self.offsets[index + 1]]

    def __iter__(self) -> Iterator[np.ndarray]:
        """The points of every track in order, as views."""
        for start, end in zip(self.offsets[:-1], self.offsets[1:]):
            yield self.points[start:end]

    def __repr__(self) -> str:
        return (f"Tractogram({len(self)} tracks, {len(self.points)} points, "
                f"{self.scalars.shape[1]} scalars, {self.properties.shape[1]} properties)")

    def to_nibabel(self, affine_to_rasmm: Any = None) -> Any:
        """Builds a nibabel.streamlines.Tractogram over the same arrays (no copy of the points).

        Scalars and properties become data_per_point and data_per_streamline, one entry
        per column, named by header["scalar_names"] and header["property_names"] where
        given. `affine_to_rasmm` maps the stored points to RAS+ millimetres (default:
        the points are taken as such). Needs nibabel.
        """
        from nibabel.streamlines import ArraySequence
        from nibabel.streamlines import Tractogram as NibabelTractogram

        def sequence(data: np.ndarray) -> Any:
            # ArraySequence keeps a flat array with offsets and lengths: the same layout.
            result = ArraySequence()
            result._data = data
            result._offsets = self.offsets[:-1]
            result._lengths = np.diff(self.offsets)
            return result

        per_point = {name: sequence(self.scalars[:, [i]])
                     for i, name in _names(self.header.get("scalar_names"), self.scalars, "scalar")}
        per_track = {name: self.properties[:, [i]]
                     for i, name in _names(self.header.get("property_names"), self.properties,
                                           "property")}
        return NibabelTractogram(sequence(self.points), data_per_streamline=per_track,
                                 data_per_point=per_point,
                                 affine_to_rasmm=np.eye(4) if affine_to_rasmm is None
                                 else affine_to_rasmm)


def _array(name: str, value: Any, dtype: Any, ndim: int) -> np.ndarray:
    """`value` as a C-contiguous array of `dtype` and `ndim` dimensions; TypeError or
    ValueError naming the argument otherwise. Fitting arrays are not copied."""
    try:
        array = np.asarray(value)
    except Exception as error:
        raise TypeError(f"{name}: not an array ({error})") from None
    # Numbers only, and no silent truncation of floats into integers (empty arrays of any
    # number type pass: np.asarray([]) is float64).
    allowed = "iuf" if np.dtype(dtype).kind == "f" or array.size == 0 else "iu"
    if array.dtype.kind not in allowed:
        raise TypeError(f"{name}: {np.dtype(dtype).name} values expected, got {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name}: {ndim} dimensions expected, got shape {array.shape}")
    return np.ascontiguousarray(array, dtype=dtype)


def _names(names: Any, columns: np.ndarray, kind: str) -> Iterator[Any]:
    """(column, name) pairs: the given names, then kind_<column> for unnamed or repeated ones."""
    names = list(names or [])
    seen = set()
    for i in range(columns.shape[1]):
        name = names[i] if i < len(names) and names[i] and names[i] not in seen else f"{kind}_{i}"
        seen.add(name)
        yield i, name
