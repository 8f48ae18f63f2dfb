"""Point estimates of poisabsorb against a Poisson GLM with explicit dummies."""

import numpy as np
import pandas as pd
import pytest

from korvald.poisabsorb import _poisabsorb
import statsmodels.api as sm

from _poisson_ref import dummy_block, glm_fit, make_panel

SPECS = ["a#b", "c"]
X = ["x1", "x2", "x3"]


def fit(df, **kw):
    kw.setdefault("print_stata_style_summary", False)
    return _poisabsorb.poisabsorb(["y"], kw.pop("x", X), kw.pop("fixedeffects", SPECS), df, **kw)


def coefs(res):
    return np.asarray(res.params, dtype=float).ravel()


@pytest.mark.parametrize("standardize", [True, False])
@pytest.mark.parametrize("offset", [False, True])
def test_matches_glm_with_dummies(standardize, offset):
    # x2 on a large scale makes standardisation (and its undoing) matter
    df = make_panel(seed=1, with_offset=offset, scale_x2=50.0)
    off = ["lexp"] if offset else None
    res = fit(df, off=off, standardize_data=standardize)
    ref, mu, _, _ = glm_fit(df, X, SPECS, offset="lexp" if offset else None)
    np.testing.assert_allclose(coefs(res), ref, rtol=1e-6)
    # fitted means come back in the caller's row labels
    fitted = res.fittedvalues.reindex(df.index)
    np.testing.assert_allclose(fitted.to_numpy(), mu, rtol=1e-6)


@pytest.mark.parametrize(
    "start_kw",
    [
        {"start": "simple"},
        {"start": "ols"},
        {"olsguess": True},
        {"start": {"x1": 0.3, "x3": 0.5}},
        {"start": {}},
        {"eta_0": ["eta_start"]},
        {"start": "ols", "nocheck": True},
        {"start": {"x2": -0.1}, "nocheck": True},
        {"eta_0": ["eta_start"], "start": "not used"},
    ],
    ids=["simple", "ols", "olsguess", "dict", "empty-dict", "eta_0", "ols-nocheck", "dict-nocheck", "eta_0-wins"],
)
def test_every_start_reaches_the_same_fit(start_kw):
    df = make_panel(seed=2)
    df["eta_start"] = np.log(df["y"].mean()) + 0.1 * df["x1"]
    ref, _, _, _ = glm_fit(df, X, SPECS)
    res = fit(df, **start_kw)
    np.testing.assert_allclose(coefs(res), ref, rtol=1e-6)


@pytest.mark.parametrize("accel", [True, False])
def test_both_partialling_routines_agree(accel):
    df = make_panel(seed=3)
    ref, _, _, _ = glm_fit(df, X, SPECS)
    np.testing.assert_allclose(coefs(fit(df, accel=accel)), ref, rtol=1e-6)


@pytest.mark.parametrize("specs", [None, [], ["c"]], ids=["None", "empty", "one-fe"])
def test_constant_only_and_single_fixed_effect(specs):
    df = make_panel(seed=4)
    ref, mu, _, glm = glm_fit(df, X, specs or [])
    res = fit(df, fixedeffects=specs)
    np.testing.assert_allclose(coefs(res), ref, rtol=1e-6)
    assert res.deviance == pytest.approx(glm.deviance, rel=1e-8)
    assert res.llf == pytest.approx(glm.llf, rel=1e-8)


def test_fit_statistics_match_reference():
    df = make_panel(seed=5)
    _, mu, _, glm = glm_fit(df, X, SPECS)
    res = fit(df, setype="homoskedastic")
    y = df["y"].to_numpy()
    n_fe = df.groupby(["a", "b"]).ngroups + df["c"].nunique()
    k = len(X)
    assert res.llf == pytest.approx(glm.llf, rel=1e-8)
    assert res.deviance == pytest.approx(glm.deviance, rel=1e-7)
    assert res.pearson_chi2 == pytest.approx(np.sum((y - mu) ** 2 / mu), rel=1e-6)
    assert res.aic == pytest.approx(-2 * glm.llf + 2 * (k + n_fe), rel=1e-8)
    assert res.bic == pytest.approx(-2 * glm.llf + np.log(len(df)) * (k + n_fe), rel=1e-8)
    assert res.nobs == len(df)


@pytest.mark.parametrize(
    "kw",
    [
        {"FEgen": True},
        {"keepsingletons": True, "setype": "cluster", "clustvars": ["a", "c"], "verb": 1},
        {"off": ["lexp"], "eta_0": ["e0"], "setype": "robust", "standardize_data": False},
        {"x": ["x1", "xc", "x3"], "fixedeffects": ["a#b", "c", "a#b"], "start": {"x1": 0.1}},
    ],
    ids=["fegen", "keepsingletons-cluster", "offset-eta0", "collinear-duplicate-fe"],
)
def test_caller_frame_and_arguments_untouched(capsys, kw):
    df = make_panel(seed=6, with_offset=True)
    df["x3"] = (df["x3"] * 10).round().astype("int64")  # forces a recast of the sample only
    df["e0"] = 0.1
    df["xc"] = df["c"] * 2.0  # dropped by the collinearity screen
    df.loc[df.index[:4], "x1"] = np.nan  # rows dropped from the sample
    before = df.copy(deep=True)
    lists = {k: list(v) for k, v in kw.items() if isinstance(v, list)}
    fit(df, **kw)
    pd.testing.assert_frame_equal(df, before)
    assert {k: kw[k] for k in lists} == lists


def test_duplicate_specification_is_ignored(capsys):
    df = make_panel(seed=7)
    ref, _, _, _ = glm_fit(df, X, SPECS)
    res = fit(df, fixedeffects=["a#b", "c", "a#b"])
    np.testing.assert_allclose(coefs(res), ref, rtol=1e-6)
    assert capsys.readouterr().out.count('Fixed effect "a#b" is duplicate and ignored\n') == 1


def test_large_integer_identifiers_are_not_merged():
    # Two identifiers that differ only beyond float64 precision must stay
    # distinct groups, so their columns may not be cast to a common float type.
    df = make_panel(seed=8)
    base = 2**60
    df["big"] = np.where(df["c"] % 2 == 0, base, base + 1).astype("int64")
    ref, _, _, _ = glm_fit(df, X, ["a#b", "big"])
    res = fit(df, fixedeffects=["a#b", "big"])
    assert res.df_model == len(X) + df.groupby(["a", "b"]).ngroups + 2
    np.testing.assert_allclose(coefs(res), ref, rtol=1e-6)


def projection_on(df, specs):
    """v -> its least-squares projection on the fixed-effect dummies (a constant
    when there are none)."""
    D = dummy_block(df, specs)
    return lambda v: D @ np.linalg.lstsq(D, v, rcond=None)[0]


@pytest.mark.parametrize(
    "start_kw, specs",
    [
        ({}, SPECS),
        ({}, None),
        ({"start": "ols"}, SPECS),
        ({"olsguess": True, "nocheck": True}, SPECS),
        ({"start": {"x2": 0.02, "x3": -0.4}}, SPECS),
        ({"start": {"x2": 0.02}}, None),
        ({"eta_0": ["eta_start"], "start": {"x1": 5.0}}, SPECS),
    ],
    ids=["simple", "no-fe-means-ols", "ols", "olsguess", "dict", "dict-no-fe", "eta_0"],
)
def test_starting_predictor(capsys, start_kw, specs):
    # the deviance printed on the first progress line is that of the starting
    # means exp(eta + offset); eta is rebuilt here from its definition
    df = make_panel(seed=9, with_offset=True, scale_x2=20.0)
    df["eta_start"] = 0.2 + 0.1 * df["x1"]
    res = fit(df, fixedeffects=specs, off=["lexp"], verb=1, separation="off", **start_kw)
    assert res.nobs == len(df)
    line = next(s for s in capsys.readouterr().out.splitlines() if s.startswith("1 change inf "))
    printed = float(line.rsplit("deviance ", 1)[1])

    y = df["y"].to_numpy()
    X = df[["x1", "x2", "x3"]].to_numpy()
    project = projection_on(df, specs or [])
    simple = np.log((y + y.mean()) / 2)
    start = start_kw.get("start", "ols" if not specs or start_kw.get("olsguess") else "simple")
    if "eta_0" in start_kw:
        eta = df["eta_start"].to_numpy()
    elif isinstance(start, dict):
        # values are in the caller's units of the regressors
        b = np.array([start.get(v, 0.0) for v in ["x1", "x2", "x3"]])
        eta = project(simple) + (X - project(X)) @ b
    elif start == "ols":
        yt, Xt = y - project(y), X - project(X)
        fitted = (y - yt) + Xt @ np.linalg.lstsq(Xt, yt, rcond=None)[0]
        eta = np.log(np.where(fitted <= 0, 1.0, fitted))
    else:
        eta = simple
    mu = np.exp(eta + df["lexp"].to_numpy())
    expected = sm.families.Poisson().deviance(y, mu)
    assert printed == pytest.approx(expected, rel=2e-6)
