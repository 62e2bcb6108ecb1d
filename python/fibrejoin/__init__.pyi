# Signatures of the fibrejoin package, for editors and type checkers; the documentation is in
# the docstrings of fibrejoin/__init__.py.
import os
from typing import Any, Dict, Iterator, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._fibrejoin import FibrejoinError as FibrejoinError
from ._fibrejoin import merge as merge

PathLike = Union[str, bytes, os.PathLike]

class Tractogram:
    points: np.ndarray
    offsets: np.ndarray
    scalars: np.ndarray
    properties: np.ndarray
    header: Dict[str, Any]
    def __init__(self, points: Any, offsets: Any, scalars: Any = ..., properties: Any = ...,
                 header: Optional[Dict[str, Any]] = ...) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> np.ndarray: ...
    def __iter__(self) -> Iterator[np.ndarray]: ...
    def to_nibabel(self, affine_to_rasmm: Any = ...) -> Any: ...

class TensorImage(NamedTuple):
    tensors: np.ndarray
    voxel_size: Tuple[float, float, float]
    affine: np.ndarray

def load(path: PathLike) -> Tractogram: ...
def save(path: PathLike, tractogram: Tractogram, replace: bool = ...) -> None: ...
def iter_tracks(path: PathLike, chunk: int = ...) -> Iterator[Tractogram]: ...
def read_image(path: PathLike) -> Tuple[np.ndarray, np.ndarray]: ...
def write_image(path: PathLike, array: Any, affine: Any, dtype: Any = ...) -> None: ...
def read_tensor_image(path: PathLike, order: str = ..., frame: str = ...) -> TensorImage: ...
def track(tensors: Any, voxel_size: Sequence[float], mask: Any = ...,
          fa_threshold: Optional[float] = ..., seeds: Any = ..., method: str = ...,
          step_factor: float = ..., angle: float = ..., threads: int = ..., *,
          seeds_per_voxel: int = ..., rng_seed: int = ..., eigen_index: int = ...,
          min_length: float = ..., max_length: float = ...,
          affine: Any = ...) -> Tractogram: ...
