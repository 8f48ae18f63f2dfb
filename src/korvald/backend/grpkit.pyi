"""Fixed-effect group helpers (compiled module)."""

from collections.abc import Iterable
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

_T = TypeVar("_T")

def make_pointer(x: npt.ArrayLike) -> npt.NDArray[np.object_]: ...
def powerset(s: Iterable[_T]) -> list[list[_T]]: ...
def colsum(x: npt.ArrayLike, y: npt.ArrayLike, w: npt.ArrayLike | None) -> Any: ...
