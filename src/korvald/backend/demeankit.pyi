"""Partialling-out kernels (compiled module)."""

import numpy as np
import numpy.typing as npt

def MAP_NH_noaccel(
    Z: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64] | None,
    panelmat: npt.NDArray[np.object_],
    tol: float,
    minsubiter: int = 0,
    maxsubiter: int = 1000,
    verb: int = 0,
    nt: int = 0,
    *,
    report: list[tuple[int, int, float, float, bool]] | None = None,
    overwrite: bool = False,
) -> npt.NDArray[np.float64]: ...
def MAP_NH_CG_accel(
    Z: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64] | None,
    panelmat: npt.NDArray[np.object_],
    tol: float,
    minsubiter: int = 0,
    maxsubiter: int = 1000,
    verb: int = 0,
    nt: int = 0,
    *,
    report: list[tuple[int, int, float, float, bool]] | None = None,
    overwrite: bool = False,
) -> npt.NDArray[np.float64]: ...
def _demean_stats(
    Z: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64] | None,
    panelmat: npt.NDArray[np.object_],
    tol: float,
    minsubiter: int,
    maxsubiter: int,
    accel: bool,
    nt: int = 0,
    solver: str = "auto",
) -> tuple[npt.NDArray[np.float64], list[int], list[int], list[bool], str]: ...
def _set_min_block_rows(rows: int) -> int: ...
def _set_max_cross_table(cells: int) -> int: ...
def _set_schur_aggregates(on: bool) -> bool: ...
def panelsetup(panel: npt.NDArray[np.int64], column: npt.NDArray[np.int64], N: int, G: int) -> None: ...
def calc_B(
    B: npt.NDArray[np.float64],
    Z: npt.NDArray[np.float64],
    e: npt.NDArray[np.float64],
    order: npt.NDArray[np.int64],
    panel: npt.NDArray[np.int64],
    G: int,
    K: int,
) -> None: ...
def drop_singletons(
    y: npt.NDArray[np.float64],
    panelmat: npt.NDArray[np.object_],
    mask: npt.NDArray[np.int64],
    counts: npt.NDArray[np.float64] | None = None,
    nt: int = 1,
) -> npt.NDArray[np.int64]: ...
def sep(
    y: npt.NDArray[np.float64],
    panelmat: npt.NDArray[np.object_],
    mask: npt.NDArray[np.int64],
    counts: npt.NDArray[np.float64] | None = None,
    nt: int = 1,
) -> npt.NDArray[np.int64]: ...
