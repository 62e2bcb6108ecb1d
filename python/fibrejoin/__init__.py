"""fibrejoin: fibre-tractography tools for Python, a thin layer over the C++ library.

Tracks travel as a Tractogram: all points in one float32 array of shape (N, 3) and
per-track offsets into it (int64, T + 1 values), the layout of nibabel's ArraySequence.

    import fibrejoin
    tracks = fibrejoin.load("tracks.trk")          # points in mm from the grid corner
    tensors, voxel_size, affine = fibrejoin.read_tensor_image("dti_tensor.nii.gz")
    tracks = fibrejoin.track(tensors, voxel_size, fa_threshold=0.1, affine=affine)
    fibrejoin.save("whole.trk", tracks)
    fibrejoin.merge(["left.trk", "right.trk"], "both.trk")

Failures the library reports raise FibrejoinError (a RuntimeError) with its message; arrays of
the wrong type or shape raise TypeError or ValueError naming the argument. Reading, writing and
tracking run without the interpreter lock, so threads can run them side by side.
"""

import os
from typing import Any, Dict, Iterator, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _fibrejoin
from ._fibrejoin import FibrejoinError, merge

__all__ = ["FibrejoinError", "TensorImage", "Tractogram", "iter_tracks", "load", "merge",
           "read_image", "read_tensor_image", "save", "track", "write_image"]

PathLike = Union[str, bytes, "os.PathLike[Any]"]


class Tractogram:
    """Tracks as points plus offsets, with optional per-point scalars and per-track properties.

    points      float32 (N, 3), every track's points one after the other (mm)
    offsets     int64 (T + 1,), track i is points[offsets[i]:offsets[i + 1]]
    scalars     float32 (N, S), per point (S may be 0)
    properties  float32 (T, P), per track (P may be 0)
    header      dict of the file header fields:
                  dims (3 ints), voxel_size (3 floats, mm), voxel_to_world (4 x 4 float64,
                  voxel centres to world mm), orientation (such as "LPS"), scalar_names,
                  property_names (lists of str), space ("voxelmm": mm from the grid corner,
                  as in .trk files; "world": the world mm of voxel_to_world, as in .tck
                  files), and from a file: format ("trk" or "tck"), foreign_byte_order,
                  stored_track_count (None when the file states none)
                A missing entry means: no grid extent, 1 mm voxels, identity matrix, points
                in world mm, unnamed columns.

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
        """Builds a nibabel.streamlines.Tractogram of these tracks.

        By default the result is what nibabel's own reader gives: points in RAS+ world
        millimetres (the header's space transformed to "world", one transformed copy when
        the points are in "voxelmm", as from .trk files; no copy for points already in world
        mm) and affine_to_rasmm the identity. Given `affine_to_rasmm`, the points are handed
        over as they are (no copy) with that affine; nibabel's to_world() then transforms
        them in place, changing this Tractogram's points too.

        Scalars and properties become data_per_point and data_per_streamline, one entry
        per column, named by header["scalar_names"] and header["property_names"] where
        given. Needs nibabel.
        """
        points = self.points
        if affine_to_rasmm is None:
            affine_to_rasmm = np.eye(4)
            space = self.header.get("space", "world")
            if space != "world":
                affine = _fibrejoin.space_transform(self.header, space, "world")
                points = (points @ affine[:3, :3].T + affine[:3, 3]).astype(np.float32)
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
        return NibabelTractogram(sequence(points), data_per_streamline=per_track,
                                 data_per_point=per_point,
                                 affine_to_rasmm=affine_to_rasmm)


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


def _tractogram(header: Dict[str, Any], arrays: Tuple[np.ndarray, ...]) -> Tractogram:
    points, offsets, scalars, properties = arrays
    return Tractogram(points, offsets, scalars, properties, header)


def load(path: PathLike) -> Tractogram:
    """Reads a whole .trk or .tck file (format by extension) into a Tractogram.

    Points are in the file's space: header["space"] is "voxelmm" for .trk files (mm from the
    grid corner) and "world" for .tck files (world mm); to_nibabel() brings them to RAS+ mm.
    The arrays own the memory the library read into, without a copy. Raises FibrejoinError
    with the library's message when the file cannot be read or is damaged.
    """
    header, arrays = _fibrejoin.load(path)
    return _tractogram(header, arrays)


def save(path: PathLike, tractogram: Tractogram, replace: bool = True) -> None:
    """Writes a Tractogram to a .trk or .tck file (format by extension).

    The points are taken in tractogram.header["space"] and stored in the file's space. The
    file is written under a temporary name and renamed into place once complete, so a
    failure leaves no partial file. An existing file is replaced, as the commands replace
    their output; with replace=False it is refused (FibrejoinError). .tck files hold no
    scalars or properties: saving a Tractogram with some to .tck raises FibrejoinError.
    """
    if not isinstance(tractogram, Tractogram):
        raise TypeError(f"tractogram: a fibrejoin.Tractogram expected, got "
                        f"{type(tractogram).__name__}")
    # Checked again: the attributes may have been replaced since construction.
    t = Tractogram(tractogram.points, tractogram.offsets, tractogram.scalars,
                   tractogram.properties, tractogram.header)
    _fibrejoin.save(path, t.points, t.offsets, t.scalars, t.properties, t.header, bool(replace))


def iter_tracks(path: PathLike, chunk: int = 100_000) -> Iterator[Tractogram]:
    """Reads a .trk or .tck file `chunk` tracks at a time, each chunk a Tractogram with the
    file's header; memory does not grow with the file. The file is opened at the first
    next(); damage raises FibrejoinError when the chunk holding it is read."""
    if isinstance(chunk, bool) or not isinstance(chunk, (int, np.integer)):
        raise TypeError(f"chunk: an int expected, got {type(chunk).__name__}")
    if chunk < 1:
        raise ValueError(f"chunk: at least one track, got {chunk}")
    reader = _fibrejoin.TrackReader(path)
    header = reader.header
    while True:
        arrays = reader.read(int(chunk))
        if arrays is None:
            return
        yield _tractogram(dict(header), arrays)


def read_image(path: PathLike) -> Tuple[np.ndarray, np.ndarray]:
    """Reads a NIfTI-1/2 image (.nii, .nii.gz, .hdr/.img) or an Analyze pair.

    Returns (array, affine): float32 values, scaling applied, of shape (X, Y, Z) or
    (X, Y, Z, T) (every dimension past z folded into T) in Fortran order, indexed as
    nibabel's get_fdata() is; affine the 4 x 4 voxel-to-world matrix (sform, else qform,
    else the voxel sizes).
    """
    return _fibrejoin.read_image(path)


def write_image(path: PathLike, array: Any, affine: Any, dtype: Any = None) -> None:
    """Writes a 3-D or 4-D array as a NIfTI-1 image (.nii or .nii.gz by extension).

    `affine` maps voxel indices to world mm; its column lengths become the voxel sizes.
    `dtype` is float32, int16 or uint8 (integers rounded and clamped); by default int16 and
    uint8 arrays keep their type, anything else is stored as float32. The file is written
    under a temporary name and renamed into place; an existing file is replaced.
    """
    values = _number_array("array", array)
    if values.ndim not in (3, 4):
        raise ValueError(f"array: 3 or 4 dimensions expected, got shape {values.shape}")
    if dtype is None:
        dtype = values.dtype if values.dtype in (np.int16, np.uint8) else np.float32
    try:
        name = np.dtype(dtype).name
    except TypeError:
        raise TypeError(f"dtype: a numpy dtype expected, got {dtype!r}") from None
    _fibrejoin.write_image(path, np.asfortranarray(values, np.float32), affine, name)


class TensorImage(NamedTuple):
    """A tensor image: tensors (X, Y, Z, 6) float32 as xx, xy, xz, yy, yz, zz in voxel axes,
    voxel sizes in mm, the 4 x 4 voxel-to-world affine."""

    tensors: np.ndarray
    voxel_size: Tuple[float, float, float]
    affine: np.ndarray


def read_tensor_image(path: PathLike, order: str = "upper", frame: str = "voxel") -> TensorImage:
    """Reads a tensor image (4-D with six volumes, or 5-D with the fifth dimension 6) into the
    layout track() takes.

    order: "upper" (xx, xy, xz, yy, yz, zz; FSL dtifit), "lower" (xx, xy, yy, xz, yz, zz;
    DIPY) or "diagonal_first" (xx, yy, zz, xy, xz, yz; MRtrix). frame: "voxel" when the
    tensors are given in the image's voxel axes (FSL, DIPY), "world" for scanner axes
    (MRtrix); world tensors are rotated into voxel axes.
    """
    tensors, voxel_size, affine = _fibrejoin.read_tensor_image(path, order, frame)
    return TensorImage(tensors, voxel_size, affine)


_METHODS = ("fact", "fixed_step", "rk2", "tensorline")


def track(tensors: Any, voxel_size: Sequence[float], mask: Any = None,
          fa_threshold: Optional[float] = 0.1, seeds: Any = None, method: str = "fact",
          step_factor: float = 0.5, angle: float = 45.0, threads: int = 0, *,
          seeds_per_voxel: int = 1, rng_seed: int = 0, eigen_index: int = 0,
          min_length: float = 0.0, max_length: float = float("inf"),
          affine: Any = None) -> Tractogram:
    """Deterministic whole-volume tracking through the library's driver.

    tensors        (X, Y, Z, 6): xx, xy, xz, yy, yz, zz per voxel in voxel axes (any real
                   dtype; float32 in the layout read_tensor_image returns is used without
                   a copy)
    voxel_size     three voxel edges in mm
    mask           (X, Y, Z) or None: tracks stay in voxels where mask >= 1 (and FA holds)
    fa_threshold   tracks stay in voxels with FA >= fa_threshold; None: no FA test
    seeds          None: one seed at the centre of every voxel tracks may enter;
                   (X, Y, Z) array: a seed mask, seeds_per_voxel seeds per voxel > 0 (one:
                   the centre; more: drawn inside the voxel from rng_seed);
                   (K, 3) array: seed positions in mm from the grid corner
    method         "fact", "fixed_step", "rk2" (Runge-Kutta) or "tensorline"
    step_factor    step length as a fraction of the smallest voxel edge
    angle          largest turn between consecutive directions, degrees
    threads        worker threads, 0 for one per core
    eigen_index    eigenvector followed, 0 for the principal one
    min_length, max_length   tracks outside these lengths (mm) are dropped
    affine         voxel-to-world matrix stored in the result's header (default: the
                   voxel sizes on the diagonal)

    Returns a Tractogram of the tracks in seed order (the same for any thread count), points
    in "voxelmm" space. The interpreter lock is released for the whole run.
    """
    field = _number_array("tensors", tensors, bool_ok=False)
    if field.ndim != 4 or field.shape[3] != 6:
        raise ValueError(f"tensors: shape (X, Y, Z, 6) expected, got {field.shape}")
    # The six values of a voxel side by side, voxels x fastest: (6, X, Y, Z) in Fortran order.
    field = np.moveaxis(np.asfortranarray(np.moveaxis(field, 3, 0), np.float32), 0, 3)
    grid = field.shape[:3]
    try:
        size = tuple(float(v) for v in voxel_size)
    except (TypeError, ValueError):
        raise TypeError("voxel_size: three numbers expected") from None
    if len(size) != 3:
        raise ValueError(f"voxel_size: three numbers expected, got {len(size)}")

    def grid_array(name: str, value: Any, test: Any) -> np.ndarray:
        array = _number_array(name, value)
        if array.shape != grid:
            raise ValueError(f"{name}: shape {grid} expected (the grid of tensors), "
                             f"got {array.shape}")
        return np.asfortranarray(test(array), np.int16)

    stop = None if mask is None else grid_array("mask", mask, lambda a: a >= 1)
    seed_list = seed_mask = None
    if seeds is not None:
        given = _number_array("seeds", seeds)
        if given.ndim == 2:
            if given.shape[1] != 3:
                raise ValueError(f"seeds: shape (K, 3) expected, got {given.shape}")
            seed_list = np.ascontiguousarray(given, np.float32)
        else:
            seed_mask = grid_array("seeds", given, lambda a: a > 0)
    if method not in _METHODS:
        raise ValueError(f"method: one of {', '.join(_METHODS)} expected, got {method!r}")
    for name, value in (("threads", threads), ("seeds_per_voxel", seeds_per_voxel),
                        ("eigen_index", eigen_index), ("rng_seed", rng_seed)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name}: an int expected, got {type(value).__name__}")
    header, arrays = _fibrejoin.track(
        field, size, stop, 0.0 if fa_threshold is None else float(fa_threshold),
        fa_threshold is not None, seed_list, seed_mask, int(seeds_per_voxel), int(rng_seed),
        method, float(step_factor), float(angle), int(eigen_index), float(min_length),
        float(max_length), int(threads), affine)
    return _tractogram(header, arrays)


def _number_array(name: str, value: Any, bool_ok: bool = True) -> np.ndarray:
    """`value` as a numpy array of real numbers (or booleans); TypeError naming the argument
    otherwise. Not copied."""
    try:
        array = np.asarray(value)
    except Exception as error:
        raise TypeError(f"{name}: not an array ({error})") from None
    if array.dtype.kind not in ("iuf" + ("b" if bool_ok else "")):
        raise TypeError(f"{name}: an array of real numbers expected, got {array.dtype}")
    return array
