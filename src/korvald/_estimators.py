"""The two estimators at the package's top level, with their signatures visible.

Compiled callables carry no signature that ``inspect`` can read, so help(),
notebook tooltips and editors would show no parameters. These functions have
the extension functions' exact parameters and defaults and call them
unchanged; further keyword arguments of the installed extension pass through.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

import pandas as pd

from .linabsorb import _linabsorb
from .poisabsorb import _poisabsorb


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
    **kwargs: Any,
) -> SimpleNamespace:
    """Linear least squares with high-dimensional fixed effects absorbed.

    The fixed effects are partialled out of the dependent variable and the
    regressors by alternating projections (conjugate-gradient accelerated by
    default); the coefficients come from one least-squares solve.

    Parameters
    ----------
    y : list of str
        One-element list naming the dependent variable's column.
    x : list of str
        Regressor columns (may be empty). Regressors that are collinear with
        the fixed effects or with each other are omitted and named in
        ``result.msg``.
    fixedeffects : list of str, optional
        Fixed effects to absorb; ``"a#b"`` is the interaction of columns a and
        b. None or an empty list: a constant only.
    data : pandas.DataFrame
        Holds every named column; never modified.
    setype : str, default "none"
        Standard errors: "none", "homoskedastic" ("homo", "iid"),
        "heteroskedastic" ("r", "robust", "hetero", "HC1") or "cluster"
        ("clus", "clu", "multiway", "c", "cl").
    clustvars : list of str, optional
        One to four cluster columns, used with ``setype="cluster"`` (multiway
        by inclusion-exclusion).
    FEgen : bool, default False
        Also recover the fixed effects (``result.fixed_effects``,
        ``result.fe_rowsum``).
    verb : int, default 0
        Verbosity; > 0 prints progress and diagnostics.
    eps_MAP : float, default 1e-09
        Convergence tolerance of the partialling-out.
    minsubiter, maxsubiter : int, default 0 and 1000
        Minimum and maximum partialling-out iterations.
    accel : bool, default True
        Conjugate-gradient accelerated partialling-out; False: plain
        alternating projections.
    nt : int, default 0
        Threads for the partialling-out (0: all cores).
    print_stata_style_summary : bool, default True
        Print the 80-column summary table (not for ``setype="none"``); the
        table is also ``result.summary_df``.
    weights : list of str, optional
        One-element list naming a column of non-negative observation weights.
        Rows with a missing or infinite weight, or weight 0, are dropped and
        counted in ``result.msg``.
    weight_type : str, default "aweight"
        "aweight" (analytic; rescaled to sum to the number of rows, so their
        scale does not matter), "fweight" (whole numbers: each row counts as
        w observations) or "pweight" (sampling weights; robust or clustered
        standard errors only).
    **kwargs
        Further keyword arguments of the installed estimator, passed through.

    Returns
    -------
    types.SimpleNamespace
        ``params``, ``bse``, ``tvalues``, ``pvalues`` (indexed 0..K-1 over
        the regressors kept, named in ``result.model.exog_names``),
        ``covmat``, ``resid`` and ``fittedvalues`` (indexed by the caller's
        row labels), ``nobs``, ``df_resid``, ``llf``, ``msg``,
        ``formula_Stata``, ``formula_R`` and more.

    Raises
    ------
    RuntimeError
        When `data` is None.
    ValueError
        For a missing column, an invalid option value or standard-error type.
    TypeError
        For non-integer iteration bounds.
    Exception
        When the partialling-out diverges or no observation is left.

    See Also
    --------
    korvald.feols : the same estimator from a formula, with a result object.
    """
    return _linabsorb.linabsorb(y, x, fixedeffects, data, setype, clustvars, FEgen, verb, eps_MAP, minsubiter,
                                maxsubiter, accel, nt, print_stata_style_summary, weights, weight_type, **kwargs)


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
    sep_tol: float = 1e-5,
    sep_maxiter: int = 100,
    sep_K_penalty: float = 1e6,
    keepsingletons: bool = False,
    nocheck: bool = False,
    verb: int = 0,
    eps_beta: float = 1e-8,
    miniter: int = 1,
    maxiter: int = 1000,
    eps_MAP: float = 1e-9,
    minsubiter: int = 0,
    maxsubiter: int = 16000,
    start_inner_tol: float = 1e-4,
    standardize_data: bool = True,
    accel: bool = True,
    nt: int = 0,
    print_stata_style_summary: bool = True,
    weights: list[str] | None = None,
    weight_type: str = "aweight",
    **kwargs: Any,
) -> SimpleNamespace:
    """Poisson pseudo-maximum likelihood (PPML) with high-dimensional fixed effects absorbed.

    Fitted by iteratively re-weighted least squares with a weighted
    partialling-out in every iteration, step-halving on the deviance, and
    removal of separated observations.

    Parameters
    ----------
    y : list of str
        One-element list naming the non-negative dependent variable.
    x : list of str
        Regressor columns (may be empty).
    fixedeffects : list of str, optional
        Fixed effects to absorb; ``"a#b"`` is an interaction. None: a constant
        only.
    data : pandas.DataFrame
        Holds every named column; never modified.
    setype : str, default "none"
        Standard errors, with the synonyms of :func:`linabsorb`.
    clustvars : list of str, optional
        One to four cluster columns, used with ``setype="cluster"``.
    off : list of str, optional
        One-element list: an offset column (coefficient 1 in the linear
        predictor).
    eta_0 : list of str, optional
        One-element list: a column with a starting linear predictor.
    FEgen : bool, default False
        Also recover the fixed effects (``result.fixed_effects``,
        ``result.fe_rowsum``).
    start : {"simple", "ols"} or dict, default "simple"
        Starting values; a dict maps regressor names to values in the data's
        units.
    olsguess : bool, default False
        Older switch for ``start="ols"``.
    separation : str or list of str, default "ir"
        Separation checks: "ir" (iterative rectifier), "fe", a list of those,
        or "none". All-zero groups and singletons are always removed.
    sep_tol, sep_maxiter, sep_K_penalty : float, int, float
        Certificate threshold, iterations and penalty weight of the
        iterative rectifier.
    keepsingletons : bool, default False
        Keep singleton groups (only all-zero groups are dropped).
    nocheck : bool, default False
        Skip the collinearity screen.
    verb : int, default 0
        Verbosity (> 0 diagnostics, > 1 more).
    eps_beta : float, default 1e-8
        IRLS convergence tolerance on the change of the coefficients.
    miniter, maxiter : int, default 1 and 1000
        Minimum and maximum IRLS iterations.
    eps_MAP : float, default 1e-9
        Final tolerance of the partialling-out inside IRLS.
    minsubiter, maxsubiter : int, default 0 and 16000
        Minimum and maximum partialling-out iterations.
    start_inner_tol : float, default 1e-4
        Starting tolerance of the partialling-out (tightened as the
        coefficients settle).
    standardize_data : bool, default True
        Divide each regressor by its standard deviation during estimation
        (results are reported in the data's units).
    accel : bool, default True
        Conjugate-gradient accelerated partialling-out.
    nt : int, default 0
        Threads for the partialling-out (0: all cores).
    print_stata_style_summary : bool, default True
        Print the summary table (not for ``setype="none"``); also prints
        several notes.
    weights : list of str, optional
        One-element list naming a column of non-negative observation weights.
        Rows with a missing or infinite weight, or weight 0, are dropped and
        counted in ``result.msg``.
    weight_type : str, default "aweight"
        "aweight" (analytic; rescaled to sum to the number of rows, so their
        scale does not matter), "fweight" (whole numbers: each row counts as
        w observations) or "pweight" (sampling weights; robust or clustered
        standard errors only).
    **kwargs
        Further keyword arguments of the installed estimator, passed through.

    Returns
    -------
    types.SimpleNamespace
        ``params``, ``bse``, ``tvalues`` (z statistics), ``pvalues``,
        ``covmat``, ``fittedvalues`` (the means), ``resid_additive``,
        ``deviance``, ``llf``, separation counts, ``msg`` and more.

    Raises
    ------
    RuntimeError
        When `data` is None.
    ValueError
        For a missing column, an invalid option value or standard-error type.
    TypeError
        For non-integer iteration bounds.
    Exception
        When IRLS does not converge or no observation is left.

    See Also
    --------
    korvald.fepois : the same estimator from a formula, with a result object.
    """
    return _poisabsorb.poisabsorb(y, x, fixedeffects, data, setype, clustvars, off, eta_0, FEgen, start, olsguess,
                                  separation, sep_tol, sep_maxiter, sep_K_penalty, keepsingletons, nocheck, verb,
                                  eps_beta, miniter, maxiter, eps_MAP, minsubiter, maxsubiter, start_inner_tol,
                                  standardize_data, accel, nt, print_stata_style_summary, weights, weight_type,
                                  **kwargs)
