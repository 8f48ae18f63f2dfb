"""Samples of over a million rows, where the work buffers (group index,
solver vectors, pivot cross-tabulation, separation check columns) are
large enough to be mapped on their own rather than taken from the heap:
the estimates must still be the exact within-unit ones, the Poisson fit
must satisfy its first-order conditions, and threads must not change a bit."""

import contextlib
import functools
import io

import numpy as np
import pandas as pd
import pytest

from korvald import linabsorb, poisabsorb

N, PER_UNIT = 1_200_000, 8


@functools.lru_cache(maxsize=None)
def panel():
    """Units of 8 rows in 8 years; regions and districts are groups of whole
    units, so absorbing them on top of the unit changes nothing."""
    rng = np.random.default_rng(11)
    units = N // PER_UNIT
    unit = np.repeat(np.arange(units), PER_UNIT)
    effect = rng.normal(size=units)[unit]
    x1 = rng.normal(size=N) + 0.5 * effect
    x2 = rng.exponential(size=N)
    y = 1.5 * x1 - 0.7 * x2 + effect + rng.normal(size=N)
    mean = np.exp(0.3 * x1 - 0.2 * x2 + 0.5 * effect)
    # Shuffled rows: the unit's rows are not consecutive.
    order = rng.permutation(N)
    return pd.DataFrame({
        "unit": unit[order], "region": unit[order] // 100, "district": unit[order] // 1000,
        "year": np.tile(np.arange(PER_UNIT), units)[order],
        "x1": x1[order], "x2": x2[order], "y": y[order], "count": rng.poisson(mean)[order].astype(float),
    })


def fit(estimator, dep, fes, nt, **kw):
    with contextlib.redirect_stdout(io.StringIO()):
        return estimator([dep], ["x1", "x2"], fes, panel(), setype="robust", nt=nt,
                         print_stata_style_summary=False, **kw)


def within_unit(df, cols):
    return df[cols] - df.groupby("unit")[cols].transform("mean")


@pytest.mark.parametrize("fes", [["unit", "region"], ["unit", "region", "district"]])
def test_least_squares_on_nested_effects_is_the_within_unit_fit(fes):
    df = panel()
    demeaned = within_unit(df, ["y", "x1", "x2"]).to_numpy()
    expected = np.linalg.lstsq(demeaned[:, 1:], demeaned[:, 0], rcond=None)[0]
    one, two = fit(linabsorb, "y", fes, 1), fit(linabsorb, "y", fes, 2)
    np.testing.assert_allclose(np.asarray(one.params), expected, rtol=0, atol=1e-10)
    assert np.array_equal(np.asarray(one.params), np.asarray(two.params))
    assert np.array_equal(np.asarray(one.bse), np.asarray(two.bse))


def test_poisson_fit_meets_its_first_order_conditions():
    df = panel()
    one, two = fit(poisabsorb, "count", ["unit", "year"], 1), fit(poisabsorb, "count", ["unit", "year"], 2)
    assert np.array_equal(np.asarray(one.params), np.asarray(two.params))
    assert np.array_equal(np.asarray(one.bse), np.asarray(two.bse))
    # Units whose counts are all zero leave the sample; the rest must fit
    # their totals, every year's total and both score equations.
    fitted = one.fittedvalues
    kept = df.groupby("unit")["count"].transform("sum").to_numpy() > 0
    assert np.array_equal(np.sort(fitted.index.to_numpy()), np.flatnonzero(kept))
    rows = df.loc[fitted.index]
    resid = rows["count"].to_numpy() - fitted.to_numpy()
    y = rows["count"].to_numpy()
    scale = y.sum()
    for fe in ("unit", "year"):
        totals = np.bincount(rows[fe].to_numpy(), weights=resid)
        assert np.abs(totals).max() < 1e-9 * scale
    score = rows[["x1", "x2"]].to_numpy().T @ resid
    assert np.abs(score).max() < 1e-9 * scale
