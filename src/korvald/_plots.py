"""``coefplot``: point estimates with confidence intervals, one colour per model."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._fit import Fit


def _matplotlib_figure():
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError('coefplot needs matplotlib; install it with: pip install "korvald[plot]"') from err
    return Figure


def coefplot(fits: Fit | Sequence[Fit], *, level: float = 0.95, keep: Sequence[str] | None = None,
             model_names: Sequence[str] | None = None, ax: Any = None, figsize: tuple[float, float] | None = None
             ) -> Any:
    """Plot coefficients with confidence intervals, one row per regressor, one colour per model.

    Parameters
    ----------
    fits : Fit or sequence of Fit
        The models; models are offset vertically within a regressor's row.
    level : float, default 0.95
        Coverage of the intervals (the models' own inference: t or normal).
    keep : sequence of str, optional
        Regressors to show, in this order; default all, in order of first
        appearance.
    model_names : sequence of str, optional
        Legend labels; default "(1)", "(2)", ...
    ax : matplotlib.axes.Axes, optional
        Draw into these axes instead of a new figure.
    figsize : (float, float), optional
        Size of a new figure in inches.

    Returns
    -------
    matplotlib.figure.Figure
        The figure (not registered with pyplot, so nothing is shown twice;
        ``fig.savefig(path)`` writes it).

    Raises
    ------
    ImportError
        When matplotlib is not installed (``pip install "korvald[plot]"``).
    ValueError
        For an empty `fits`, a `model_names` of the wrong length or a `keep`
        name no model has.
    """
    Figure = _matplotlib_figure()
    fits = [fits] if isinstance(fits, Fit) else list(fits)
    if not fits:
        raise ValueError("coefplot needs at least one fit")
    names = list(model_names) if model_names is not None else [f"({i + 1})" for i in range(len(fits))]
    if len(names) != len(fits):
        raise ValueError(f"model_names has {len(names)} names for {len(fits)} fits")
    known = list(dict.fromkeys(name for fit in fits for name in fit.coef().index))
    coefs = list(keep) if keep is not None else known
    unknown = [c for c in coefs if c not in known]
    if unknown:
        raise ValueError(f"keep names regressor(s) no model has: {unknown}")

    if ax is None:
        fig = Figure(figsize=figsize or (6.4, 1.0 + 0.5 * len(coefs) * max(1, len(fits) ** 0.5)))
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    rows = {name: i for i, name in enumerate(coefs)}
    step = 0.6 / max(len(fits), 1)
    for k, (fit, label) in enumerate(zip(fits, names)):
        ci = fit.confint(level)
        shown = [c for c in coefs if c in ci.index]
        if not shown:
            continue
        est = fit.coef()[shown].to_numpy()
        lo, hi = ci.loc[shown].iloc[:, 0].to_numpy(), ci.loc[shown].iloc[:, 1].to_numpy()
        y = np.array([rows[c] for c in shown]) + (k - (len(fits) - 1) / 2) * step
        ax.errorbar(est, y, xerr=np.vstack([est - lo, hi - est]), fmt="o", capsize=3, label=label,
                    color=f"C{k % 10}")
    ax.axvline(0.0, color="0.5", linewidth=0.8, linestyle="--")
    ax.set_yticks(range(len(coefs)), coefs)
    ax.set_ylim(len(coefs) - 0.5, -0.5)
    ax.set_xlabel(f"Estimate and {100 * level:g}% confidence interval")
    if len(fits) > 1:
        ax.legend()
    fig.tight_layout()
    return fig
