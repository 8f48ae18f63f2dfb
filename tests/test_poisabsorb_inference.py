"""Standard errors of poisabsorb against the Poisson sandwich formulas computed
from the full dummy design of a reference GLM fit."""

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from korvald.poisabsorb import _poisabsorb
from _poisson_ref import cluster_sandwich, glm_fit, influence_rows, make_panel

SPECS = ["a#b", "c"]
X = ["x1", "x2", "x3"]


def fit(df, **kw):
    kw.setdefault("print_stata_style_summary", False)
    return _poisabsorb.poisabsorb(["y"], X, SPECS, df, **kw)


@pytest.fixture(scope="module")
def panel():
    df = make_panel(n=300, seed=11, scale_x2=20.0)
    # cluster dimensions: a (4 groups, nested in the a#b fixed effect) and a pair id
    df["pair"] = (df["c"] * 7 + df["b"]) % 9
    ref, mu, design, _ = glm_fit(df, X, SPECS)
    infl = influence_rows(design, mu, len(X))
    resid = df["y"].to_numpy() - mu
    return df, ref, mu, design, infl, resid


def n_fe(df):
    return df.groupby(["a", "b"]).ngroups + df["c"].nunique()


def eigenvalue_repair(expected, df):
    """(covariance, the same in standardised units, whether repaired): negative
    eigenvalues are clipped in the units the regressors were estimated in
    (divided by their standard deviations), before the rescaling."""
    sd = df[X].std().to_numpy()
    std_units = expected * np.outer(sd, sd)
    evals, evecs = np.linalg.eigh(std_units)
    if evals.min() >= -1e-12:
        return expected, std_units, False
    fixed = evecs @ np.diag(np.clip(evals, 0, None)) @ evecs.T
    return (fixed + fixed.T) / 2 / np.outer(sd, sd), std_units, True


def check_cov(res, expected, ref):
    np.testing.assert_allclose(np.asarray(res.params).ravel(), ref, rtol=1e-6)
    se = np.sqrt(np.diag(expected))
    # entries relative to the scale of their row and column: a near-zero
    # covariance need not match to a relative tolerance of its own
    np.testing.assert_allclose(np.diag(res.covmat), se**2, rtol=1e-5)
    np.testing.assert_allclose(res.covmat / np.outer(se, se), expected / np.outer(se, se), rtol=0, atol=1e-6)
    np.testing.assert_allclose(res.bse.to_numpy(), se, rtol=1e-5)
    z = ref / se
    np.testing.assert_allclose(res.tvalues.to_numpy(), z, rtol=1e-5)
    np.testing.assert_allclose(res.pvalues.to_numpy(), 2 * stats.norm.cdf(-np.abs(z)), rtol=1e-4, atol=1e-12)


def test_homoskedastic_is_inverse_information(panel):
    df, ref, mu, design, _, _ = panel
    A = design.T @ (design * mu[:, None])
    expected = np.linalg.inv(A)[: len(X), : len(X)]
    res = fit(df, setype="iid")
    assert res.cov_type == "homoskedastic"
    check_cov(res, expected, ref)


@pytest.mark.parametrize("label", ["robust", "HC1", "r"])
def test_heteroskedastic_uses_n_over_n_minus_k(panel, label):
    df, ref, _, _, infl, resid = panel
    N, K = len(df), len(X)
    expected = N / (N - K) * (infl * resid[:, None] ** 2).T @ infl
    res = fit(df, setype=label)
    assert res.cov_type == "heteroskedastic"
    check_cov(res, expected, ref)


def test_one_way_cluster_with_cr1_factor(panel):
    df, ref, _, _, infl, resid = panel
    N, K = len(df), len(X)
    sandwich, G = cluster_sandwich(infl, resid, df, ["pair"])
    # no fixed effect is nested in "pair": every category counts
    cr1 = (N - 1) / (N - K - n_fe(df))
    expected = G / (G - 1) * cr1 * sandwich
    res = fit(df, setype="cluster", clustvars=["pair"])
    check_cov(res, expected, ref)
    assert res.clustvars == ["pair"]
    assert "Standard errors clustered on pair" in res.msg


def test_cluster_nested_fixed_effect_drops_out_of_the_correction(panel):
    df, ref, _, _, infl, resid = panel
    N, K = len(df), len(X)
    sandwich, G = cluster_sandwich(infl, resid, df, ["a"])
    # a#b is nested in the cluster variable a: none of its categories count
    cr1 = (N - 1) / (N - K - df["c"].nunique())
    expected = G / (G - 1) * cr1 * sandwich
    check_cov(fit(df, setype="cluster", clustvars=["a"]), expected, ref)


@pytest.mark.parametrize("labels", ["as_given", "shifted"])
@pytest.mark.parametrize("clustvars", [["c"], ["c", "pair"]])
def test_cluster_on_an_absorbed_fixed_effect(panel, labels, clustvars):
    # "c" is also the second fixed effect, so its clusters are that effect's
    # groups (its column leaves the sample once coded; the two-way intersection
    # is numbered from its identifiers); shifted labels make group numbers and
    # raw values differ
    df, ref, _, _, infl, resid = panel
    if labels == "shifted":
        df = df.assign(c=df["c"] * 3 + 100)
    N, K = len(df), len(X)
    sandwich, G = cluster_sandwich(infl, resid, df, ["c"])
    if clustvars == ["c", "pair"]:
        s_p, g_p = cluster_sandwich(infl, resid, df, ["pair"])
        s_cp, _ = cluster_sandwich(infl, resid, df, ["c", "pair"])
        sandwich, G = sandwich + s_p - s_cp, min(G, g_p)
    # the fixed effect c is nested in its own cluster: only a#b categories count
    cr1 = (N - 1) / (N - K - df.groupby(["a", "b"]).ngroups)
    expected = G / (G - 1) * cr1 * sandwich
    expected, std_units, repaired = eigenvalue_repair((expected + expected.T) / 2, df)
    res = fit(df, setype="cluster", clustvars=clustvars)
    check_cov(res, expected, ref)
    assert getattr(res, "eigenvalue_fix", False) is repaired
    assert list(df.columns) == list(panel[0].columns)


def test_two_way_cluster_inclusion_exclusion(panel):
    df, ref, _, _, infl, resid = panel
    N, K = len(df), len(X)
    s_a, g_a = cluster_sandwich(infl, resid, df, ["a"])
    s_p, g_p = cluster_sandwich(infl, resid, df, ["pair"])
    s_ap, _ = cluster_sandwich(infl, resid, df, ["a", "pair"])
    g = min(g_a, g_p)
    cr1 = (N - 1) / (N - K - df["c"].nunique())
    expected = g / (g - 1) * cr1 * (s_a + s_p - s_ap)
    expected, std_units, repaired = eigenvalue_repair((expected + expected.T) / 2, df)
    assert repaired  # this panel needs the repair
    res = fit(df, setype="cluster", clustvars=["a", "pair"])
    check_cov(res, expected, ref)
    assert res.eigenvalue_fix is True
    np.testing.assert_allclose(res.covmat_nofix, std_units, rtol=1e-5)
    assert res.msg[-1] == "Covariance matrix not positive-semidefinite; applying Eigenvalue fix"


@pytest.mark.parametrize("setype", ["homoskedastic", "heteroskedastic", "cluster"])
def test_constant_statistics(panel, setype):
    df, ref, mu, design, infl, resid = panel
    N, K = len(df), len(X)
    Xo = df[X].to_numpy()
    eta = np.log(mu)
    S = mu.sum()
    cons = np.sum(mu * (eta - Xo @ ref)) / S
    # influence weights of the constant: 1/S minus the regressor part, with the
    # regressors partialled out of the fixed effects under weights mu
    D = design[:, K:]
    Xt = Xo - D @ np.linalg.solve(D.T @ (D * mu[:, None]), D.T @ (Xo * mu[:, None]))
    bread = np.linalg.inv(Xt.T @ (Xt * mu[:, None]))
    w = 1 / S - Xt @ (bread @ (Xo.T @ mu / S))
    wr = w * resid
    if setype == "homoskedastic":
        var = np.sum(w**2 * mu)
        res = fit(df, setype=setype)
    elif setype == "heteroskedastic":
        var = N / (N - K) * np.sum(wr**2)
        res = fit(df, setype=setype)
    else:
        sums = df.assign(wr=wr).groupby("pair")["wr"].sum().to_numpy()
        G = len(sums)
        var = G / (G - 1) * np.sum(sums**2) * (N - 1) / (N - K - n_fe(df))
        res = fit(df, setype=setype, clustvars=["pair"])
    se = np.sqrt(var)
    assert res.cons == pytest.approx(cons, rel=1e-6)
    assert res.cons_se == pytest.approx(se, rel=1e-5)
    assert res.cons_zvalue == pytest.approx(cons / se, rel=1e-5)
    assert res.cons_pvalue == pytest.approx(2 * stats.norm.cdf(-abs(cons / se)), rel=1e-4, abs=1e-14)


@pytest.mark.parametrize("setype", ["homoskedastic", "cluster"])
def test_constant_with_offset_is_the_fixed_effect_part(setype):
    df = make_panel(n=200, seed=12, with_offset=True)
    ref, mu, _, _ = glm_fit(df, X, SPECS, offset="lexp")
    fe_part = np.log(mu) - df[X].to_numpy() @ ref - df["lexp"].to_numpy()
    res = fit(df, setype=setype, clustvars=["c"], off=["lexp"], FEgen=True)
    assert res.cons == pytest.approx(np.sum(mu * fe_part) / mu.sum(), rel=1e-6)
    # the same constant as the one of the recovered fixed effects
    assert res.cons == pytest.approx(res.fixed_effects["_cons"], rel=1e-8)


def test_setype_none_returns_coefficient_array_only(panel):
    df, ref, *_ = panel
    res = fit(df)
    assert isinstance(res.params, np.ndarray) and res.params.shape == (len(X), 1)
    np.testing.assert_allclose(res.params.ravel(), ref, rtol=1e-6)
    for attr in ("bse", "covmat", "cov_type", "cons", "tvalues"):
        assert not hasattr(res, attr)


def test_single_category_cluster_raises(panel):
    df = panel[0].assign(one=1)
    with pytest.raises(RuntimeError, match="Cluster with a single category detected"):
        fit(df, setype="cluster", clustvars=["one"])


# ---- cross-check against an independent PPML implementation -------------

@pytest.fixture(scope="module")
def peer_panel():
    """A few thousand rows: a firm effect with some one-row firms, a region#year
    interaction, an offset, and a regressor on a scale that standardisation changes."""
    rng = np.random.default_rng(11)
    n = 6000
    firm = rng.integers(0, 900, n)
    df = pd.DataFrame({"firm": firm, "year": rng.integers(0, 8, n), "region": rng.integers(0, 12, n),
                       "x1": rng.normal(size=n), "x2": rng.normal(2.0, 30.0, size=n),
                       "lexp": rng.uniform(-0.5, 0.5, n)})
    eta = (0.3 * df["x1"] - 0.004 * df["x2"] + rng.normal(scale=0.5, size=900)[firm]
           + rng.normal(scale=0.3, size=(12, 8))[df["region"], df["year"]] + df["lexp"])
    df["y"] = rng.poisson(np.exp(eta)).astype(float)
    df.index = 5 * np.arange(n) + 7
    assert (df["firm"].value_counts() == 1).any()
    return df


@pytest.mark.filterwarnings("ignore")  # the peer's own deprecation and singleton notices
@pytest.mark.parametrize(
    "setype, clustvars",
    [("homoskedastic", None), ("heteroskedastic", None), ("cluster", ["firm"]), ("cluster", ["firm", "year"])],
)
def test_agrees_with_pyfixest(peer_panel, setype, clustvars):
    pf = pytest.importorskip("pyfixest")
    df = peer_panel
    specs = ["firm", "region#year"]
    res = _poisabsorb.poisabsorb(["y"], ["x1", "x2"], specs, df, setype=setype, clustvars=clustvars,
                                 off=["lexp"], print_stata_style_summary=False)
    vcov = {"homoskedastic": "iid", "heteroskedastic": "hetero"}.get(setype)
    if vcov is None:
        vcov = {"CRV1": "+".join(clustvars)}
    # the peer's sandwiches without any small-sample factor
    peer = pf.fepois("y ~ x1 + x2 | firm + region^year", data=df.copy(), vcov=vcov, offset="lexp",
                     ssc=pf.ssc(adj=False, cluster_adj=False), fixef_rm="singleton",
                     fixef_tol=1e-12, iwls_tol=1e-12)
    kept = df.loc[res.fittedvalues.index]
    N, K = len(kept), 2
    assert peer._N == N == res.nobs
    np.testing.assert_allclose(np.ravel(res.params), peer.coef().to_numpy(), rtol=1e-9, atol=0)

    # this estimator's factors: none (homoskedastic), N/(N-K) (heteroskedastic),
    # G/(G-1) from the smallest dimension times (N-1)/(N-K-fixed-effect coefficients)
    # with fixed effects touching a cluster variable not counted (clustered)
    if setype == "homoskedastic":
        factor = 1.0
    elif setype == "heteroskedastic":
        factor = N / (N - K)
    else:
        free_fe = sum(kept.groupby(s.split("#")).ngroups for s in specs
                      if not set(s.split("#")) & set(clustvars))
        G = min(kept[c].nunique() for c in clustvars)
        factor = G / (G - 1) * (N - 1) / (N - K - free_fe)
    np.testing.assert_allclose(res.bse.to_numpy(), peer.se().to_numpy() * np.sqrt(factor), rtol=1e-7)
