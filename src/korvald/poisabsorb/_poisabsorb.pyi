"""Poisson pseudo-maximum likelihood with absorbed fixed effects (compiled module)."""

from types import SimpleNamespace
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

def poisabsorb(
    y: list[str],
    x: list[str],
    fixedeffects: list[str] | None = None,
    data: pd.DataFrame | None = None,
    setype: str = "none",
    clustvars: list[str] | None = None,
    off: list[str] | None = None,
    eta_0: list[str] | None = None,
    FEgen: bool = False,
    start: str | dict[str, float] = "simple",
    olsguess: bool = False,
    separation: str | list[str] = "ir",
    sep_tol: float = 1e-05,
    sep_maxiter: int = 100,
    sep_K_penalty: float = 1000000.0,
    keepsingletons: bool = False,
    nocheck: bool = False,
    verb: int = 0,
    eps_beta: float = 1e-08,
    miniter: int = 1,
    maxiter: int = 1000,
    eps_MAP: float = 1e-09,
    minsubiter: int = 0,
    maxsubiter: int = 16000,
    start_inner_tol: float = 0.0001,
    standardize_data: bool = True,
    accel: bool = True,
    nt: int = 0,
    print_stata_style_summary: bool = True,
    weights: list[str] | None = None,
    weight_type: str = "aweight",
) -> SimpleNamespace: ...
def calculate_fe_redundancies(
    data: pd.DataFrame,
    fixedeffects: list[str],
    fenames: list[str],
    setype: str | None = None,
    clustvars: list[str] | None = None,
) -> dict[str, dict[str, int]]: ...
def stata_style_summary(
    result: Any,
    x: list[str],
    beta: Any,
    se: Any,
    z: Any,
    p: Any,
    df: float,
    N: int,
    K: int,
    N_FE: int,
    setype: str,
    fixedeffects: list[str] | None = None,
    clustvars: list[str] | None = None,
    N_cluster: list[int] | None = None,
    deviance: float | None = None,
    log_pseudolik: float | None = None,
    pseudo_r2: float | None = None,
    fe_counts: dict[str, int] | None = None,
    covmat: Any = None,
    df_resid: int | None = None,
    fe_redundancies: dict[str, dict[str, int]] | None = None,
    cons_stats: tuple[float, float, float, float] | None = None,
) -> pd.DataFrame: ...
def _detect_separation_ir(
    data: pd.DataFrame,
    y: list[str],
    x: list[str],
    fenames: list[str],
    tol: float = 1e-05,
    maxiter: int = 100,
    K_penalty: float = 1000000.0,
    inner_maxiter: int = 100,
    inner_tol: float = 1e-10,
    verb: int = 0,
    nt: int = 0,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]: ...
def _poisson_deviance(y: npt.ArrayLike, mu: npt.ArrayLike) -> float: ...
