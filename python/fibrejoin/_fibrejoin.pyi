# Signatures of the extension module, for editors and type checkers.
import os
from typing import Sequence, Union

_Path = Union[str, bytes, os.PathLike]

class FibrejoinError(RuntimeError):
    """A failure the library reported; the message names the file and the reason."""

def merge(inputs: Sequence[_Path], output: _Path) -> None:
    """Merges track files that share one volume grid into one .trk file, tagging every track
    with the zero-based position of its input ("DataSetID")."""
