"""Linear least squares with absorbed fixed effects (compiled module)."""

from types import SimpleNamespace
from typing import Any

import pandas as pd

def linabsorb(
    y: list[str],
    x: list[str],
    fixedeffects: list[str] | None = None,
    data: pd.DataFrame | None = None,
    setype: str | None = "none",
    clustvars: list[str] | None = None,
    FEgen: bool = False,
    verb: int = 0,
    eps_MAP: float = 1e-09,
    minsubiter: int = 0,
    maxsubiter: int = 1000,
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
    t: Any,
    p: Any,
    df: float,
    N: int,
    K: int,
    N_FE: int,
    setype: str,
    fixedeffects: list[str] | None = None,
    clustvars: list[str] | None = None,
    N_cluster: list[int] | None = None,
    r_squared: float | None = None,
    adj_r_squared: float | None = None,
    within_r_squared: float | None = None,
    root_mse: float | None = None,
    fe_counts: dict[str, int] | None = None,
    covmat: Any = None,
    df_resid: int | None = None,
    fe_redundancies: dict[str, dict[str, int]] | None = None,
    cons_stats: tuple[float, float, float, float] | None = None,
) -> pd.DataFrame: ...
