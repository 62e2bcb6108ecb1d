# Signatures of the extension module, for editors and type checkers. The public API with its
# documentation is in fibrejoin/__init__.py.
import os
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

_Path = Union[str, bytes, os.PathLike]
_Arrays = Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]

class FibrejoinError(RuntimeError):
    """A failure the library reported; the message names the file and the reason."""

def merge(inputs: Sequence[_Path], output: _Path) -> None:
    """Merges track files that share one volume grid into one .trk file, tagging every track
    with the zero-based position of its input ("DataSetID")."""

def load(path: _Path) -> Tuple[Dict[str, Any], _Arrays]:
    """A whole track file: (header, (points, offsets, scalars, properties))."""

def save(path: _Path, points: np.ndarray, offsets: np.ndarray, scalars: np.ndarray,
         properties: np.ndarray, header: Dict[str, Any], replace: bool) -> None:
    """Writes tracks to a .trk or .tck file."""

class TrackReader:
    """A track file read a chunk of tracks at a time; one thread at a time."""
    def __init__(self, path: _Path) -> None: ...
    @property
    def header(self) -> Dict[str, Any]: ...
    def read(self, count: int) -> Optional[_Arrays]:
        """Up to count tracks, None at the end of the file."""

def space_transform(header: Dict[str, Any], source: str, target: str) -> np.ndarray:
    """The 4 x 4 affine from one point space ("voxelmm", "world") to another."""

def read_image(path: _Path) -> Tuple[np.ndarray, np.ndarray]:
    """(float32 array (X, Y, Z[, T]) in Fortran order, affine)."""

def write_image(path: _Path, array: np.ndarray, affine: Any, dtype: str) -> None:
    """Writes a float32 Fortran-ordered array as NIfTI-1 stored as dtype."""

def read_tensor_image(path: _Path, order: str,
                      frame: str) -> Tuple[np.ndarray, Tuple[float, float, float], np.ndarray]:
    """(tensors (X, Y, Z, 6), voxel sizes, affine)."""

def track(tensors: np.ndarray, voxel_size: Sequence[float], mask: Optional[np.ndarray],
          fa_threshold: float, use_fa: bool, seed_list: Optional[np.ndarray],
          seed_mask: Optional[np.ndarray], seeds_per_voxel: int, rng_seed: int, method: str,
          step_factor: float, angle: float, eigen_index: int, min_length: float,
          max_length: float, threads: int, affine: Any) -> Tuple[Dict[str, Any], _Arrays]:
    """Whole-volume tracking over arrays in the driver's layouts."""
