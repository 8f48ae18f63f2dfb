"""Failures are never reported as success: partialling-out that stops short
warns, the Poisson loop never stops at its starting point, Ctrl-C stops a
fit, and bad input is named in the error."""

import re
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import korvald
from korvald import linabsorb, poisabsorb
from korvald.backend import demeankit, grpkit
from korvald.demo import make_panel

QUIET = dict(print_stata_style_summary=False)


def worker_firm_panel(n_workers=2000, n_firms=200, periods=5, movers=0.01, seed=1):
    """Workers observed `periods` times; a share of them changes firm once."""
    rng = np.random.default_rng(seed)
    first = rng.integers(0, n_firms, n_workers)
    second = np.where(rng.random(n_workers) < movers, rng.integers(0, n_firms, n_workers), first)
    worker = np.repeat(np.arange(n_workers), periods)
    t = np.tile(np.arange(periods), n_workers)
    firm = np.where(t < periods // 2, first[worker], second[worker])
    n = len(worker)
    x1 = rng.normal(size=n) + rng.normal(size=n_firms)[firm]
    x2 = rng.normal(size=n)
    y = x1 - 0.5 * x2 + rng.normal(size=n_workers)[worker] + rng.normal(size=n_firms)[firm] + rng.normal(size=n)
    counts = rng.poisson(np.exp(0.3 * x1 - 0.2 * x2 + 0.3 * rng.normal(size=n_firms)[firm]))
    return pd.DataFrame(dict(y=y, counts=counts, x1=x1, x2=x2, worker=worker, firm=firm))


@pytest.fixture(scope="module")
def panel():
    return worker_firm_panel()


# ---- 1. partialling-out that stops short is never silent ------------------

def test_backend_warns_with_routine_columns_and_criterion(panel):
    Z = panel[["y", "x1", "x2"]].to_numpy()
    pm = grpkit.make_pointer(panel[["worker", "firm"]].to_numpy())
    for name in ["MAP_NH_CG_accel", "MAP_NH_noaccel"]:
        routine = getattr(demeankit, name)
        with pytest.warns(korvald.ConvergenceWarning) as caught:
            capped = routine(Z.copy(), None, pm, 1e-30, 0, 2, 0, 1)  # a tolerance no solver meets
        assert len(caught) == 1
        text = str(caught[0].message)
        assert re.fullmatch(name + r": 3 of 3 columns did not converge \(stopped at maxsubiter = 2; worst "
                            r"criterion \d\.\de[-+]\d\d against a threshold of \d\.\de[-+]\d\d\)", text), text
        # the same run with a report list: the caller gets the numbers and no warning
        report = []
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            again = routine(Z.copy(), None, pm, 1e-30, 0, 2, 0, 1, report=report)
        np.testing.assert_array_equal(capped, again)
        assert len(report) == 3 and all(r[0] == 2 and r[4] is False and r[2] > r[3] for r in report)
        # converged runs stay silent
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            routine(Z.copy(), None, pm, 1e-8, 0, 100000, 0, 1)


# One CG step on the factorised reduced system is already accurate on this small panel, so the
# accelerated case also needs a tolerance beyond reach to stop short.
@pytest.mark.parametrize("options", [dict(maxsubiter=1, eps_MAP=1e-15), dict(accel=False, maxsubiter=20)])
def test_linabsorb_reports_an_unconverged_partialling_out(panel, options):
    with pytest.warns(korvald.ConvergenceWarning, match="stopped short of eps_MAP"):
        res = linabsorb(["y"], ["x1", "x2"], ["worker", "firm"], panel, **options, **QUIET)
    assert len(res.msg) == 1 and res.msg[0].startswith("warning: the partialling-out stopped short of eps_MAP")
    ref = linabsorb(["y"], ["x1", "x2"], ["worker", "firm"], panel, **QUIET)
    assert ref.msg == []
    if options.get("accel") is False:
        assert np.max(np.abs(np.ravel(res.params) - np.ravel(ref.params))) > 1e-7  # really unconverged
    warnings.simplefilter("error", korvald.ConvergenceWarning)
    try:
        with pytest.raises(korvald.ConvergenceWarning):
            linabsorb(["y"], ["x1", "x2"], ["worker", "firm"], panel, **options, **QUIET)
    finally:
        warnings.resetwarnings()


def test_poisabsorb_warns_once_naming_the_irls_iteration(panel):
    with pytest.warns(korvald.ConvergenceWarning) as caught:
        # one sweep cannot reach a tolerance this tight, however good its start
        res = poisabsorb(["counts"], ["x1", "x2"], ["worker", "firm"], panel, maxsubiter=1, eps_MAP=1e-15,
                         separation="off", **QUIET)
    ours = [w for w in caught if issubclass(w.category, korvald.ConvergenceWarning)]
    assert len(ours) == 1
    text = str(ours[0].message)
    assert re.fullmatch(r"the partialling-out did not meet its tolerance in (the collinearity screen and )?IRLS "
                        r"iterations? \d+(-\d+)? \(first report: MAP_NH_CG_accel: [123] of 3 columns did not "
                        r"converge .*\)", text), text
    assert [m for m in res.msg if "did not meet its tolerance" in m] == ["warning: " + text]
    # the loose early tolerances are by design: a default fit stays silent
    with warnings.catch_warnings():
        warnings.simplefilter("error", korvald.ConvergenceWarning)
        poisabsorb(["counts"], ["x1", "x2"], ["worker", "firm"], panel, separation="off", **QUIET)


# ---- 2. the Poisson loop never "converges" at its start -------------------

@pytest.fixture(scope="module")
def demo():
    d = make_panel(3000)
    d["far"] = 30.0
    return d


@pytest.mark.parametrize("fixedeffects,options", [
    (None, dict(start={"x1": 12.0})),
    (["firm", "year"], dict(start={"x1": 12.0})),
    (None, dict(eta_0=["far"])),
])
def test_bad_starting_points_reach_the_default_fit(demo, fixedeffects, options):
    ref = poisabsorb(["visits"], ["x1", "x2"], fixedeffects, demo, **QUIET)
    res = poisabsorb(["visits"], ["x1", "x2"], fixedeffects, demo, **options, **QUIET)
    np.testing.assert_allclose(np.ravel(res.params), np.ravel(ref.params), rtol=0, atol=1e-6)
    assert res.deviance == pytest.approx(ref.deviance, rel=1e-9)


def worker_firm_ring(n_obs=100_050, seed=23):
    """Workers in 10 consecutive years, the firm of a row = row number mod the
    number of firms (an odd multiple of 5): firms form a ring of 87 blocks of
    five, each joined to the next only by the ~115 workers whose ten firms
    span both. On this draw full Newton steps send some of those workers' rows
    to mu near 0, and no halved Newton step brings them back."""
    rng = np.random.default_rng(seed)
    n_workers, n_firms = n_obs // 10, n_obs // 230
    worker = np.repeat(np.arange(n_workers), 10)
    firm = np.arange(n_obs) % n_firms
    x1 = rng.normal(size=n_obs)
    x2 = x1 ** 2
    eta = (x1 + 0.05 * x2 + rng.normal(size=n_workers)[worker] + rng.normal(size=n_firms)[firm]
           + rng.normal(size=10)[np.tile(np.arange(10), n_workers)] + rng.normal(size=n_obs))
    count = rng.negative_binomial(1.0, 1.0 / (1.0 + np.exp(eta))).astype(float)
    return pd.DataFrame(dict(count=count, x1=x1, x2=x2, worker=worker, firm=firm))


def partialled_out(X, w, worker, firm):
    """X minus its w-weighted projection on worker and firm dummies: workers
    eliminated exactly, the firms' Schur complement solved densely."""
    n_workers, n_firms = worker.max() + 1, firm.max() + 1
    Ww = np.bincount(worker, w, n_workers)
    cross = np.zeros((n_workers, n_firms))
    np.add.at(cross, (worker, firm), w)
    schur = np.diag(np.bincount(firm, w, n_firms)) - cross.T @ (cross / Ww[:, None])
    out = np.empty_like(X)
    for k in range(X.shape[1]):
        bw, bf = np.bincount(worker, w * X[:, k], n_workers), np.bincount(firm, w * X[:, k], n_firms)
        f = np.zeros(n_firms)
        f[1:] = np.linalg.solve(schur[1:, 1:], (bf - cross.T @ (bw / Ww))[1:])  # first firm pinned
        out[:, k] = X[:, k] - ((bw - cross @ f) / Ww)[worker] - f[firm]
    return out


def test_a_loop_that_newton_steps_cannot_leave_restarts_into_the_fit():
    df = worker_firm_ring()
    with pytest.warns(korvald.ConvergenceWarning, match="restarted from the simple start with IRLS weights"):
        res = poisabsorb(["count"], ["x1", "x2"], ["worker", "firm"], df, setype="robust", **QUIET)
    s = df.loc[res.fittedvalues.index]
    y, mu, X = s["count"].to_numpy(), res.fittedvalues.to_numpy(), s[["x1", "x2"]].to_numpy()
    # The Poisson score equations, which only the maximum of this concave
    # likelihood satisfies: every worker's, every firm's and every regressor's.
    for g in ("worker", "firm"):
        score = pd.Series(y - mu).groupby(s[g].to_numpy()).sum().to_numpy()
        assert np.all(np.abs(score) <= 1e-5 * np.bincount(s[g].to_numpy(), y)[np.unique(s[g])])
    np.testing.assert_array_less(np.abs(X.T @ (y - mu)), 1e-8 * np.abs(X).T @ y)
    assert mu.min() < 1e-30  # the rows the plain loop could not bring back stay far down
    # The covariance is the fit's own: regressors partialled out with weights mu.
    worker, firm = pd.factorize(s["worker"])[0], pd.factorize(s["firm"])[0]
    Xt = partialled_out(X, mu, worker, firm)
    bread = np.linalg.inv(Xt.T @ (Xt * mu[:, None]))
    meat = (Xt * ((y - mu) ** 2)[:, None]).T @ Xt
    N, K = len(y), 2
    np.testing.assert_allclose(np.ravel(res.bse), np.sqrt(np.diag(N / (N - K) * bread @ meat @ bread)), rtol=1e-9)


# ---- 3. Ctrl-C stops a fit -------------------------------------------------

CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np, pandas as pd
    from korvald import linabsorb, poisabsorb
    # A runner started as a background job hands its children SIGINT ignored,
    # and Python then installs no handler: Ctrl-C behaviour needs the usual one.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    which, nt = sys.argv[1], int(sys.argv[2])
    n_workers, n_firms = 30000, 2999
    rng = np.random.default_rng(0)
    worker = np.repeat(np.arange(n_workers), 6)
    firm = (np.arange(len(worker)) // 2) % n_firms          # one long, thin worker-firm chain
    x = rng.normal(size=len(worker))
    d = pd.DataFrame(dict(y=x + rng.normal(size=n_firms)[firm], c=rng.poisson(1.0, len(worker)), x=x,
                          worker=worker, firm=firm))
    print("started", flush=True)
    try:
        if which == "linear":
            linabsorb(["y"], ["x"], ["worker", "firm"], d, accel=False, eps_MAP=1e-15, maxsubiter=10**9, nt=nt,
                      print_stata_style_summary=False)
        else:
            poisabsorb(["c"], ["x"], ["worker", "firm"], d, accel=False, eps_MAP=1e-15, start_inner_tol=1e-15,
                       maxsubiter=10**9, nt=nt, separation="off", print_stata_style_summary=False)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


@pytest.mark.parametrize("which,nt", [("linear", 1), ("linear", 2), ("poisson", 2)])
def test_ctrl_c_stops_a_long_fit(which, nt, tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    child = subprocess.Popen([sys.executable, str(script), which, str(nt)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    assert out.strip() == "interrupted"
    assert waited < 2.0


# ---- 4. bad input is named ------------------------------------------------

@pytest.fixture(scope="module")
def small():
    d = make_panel(400, seed=3)
    d["xc"] = d["x1"] + 1j
    d["xt"] = np.where(d["x1"] > 0, "hi", "lo")
    d["xd"] = pd.to_timedelta(np.arange(len(d)), unit="s")
    return d


FITS = {
    "linabsorb": lambda d, x, **kw: linabsorb(["wage"], x, ["firm"], d, **QUIET, **kw),
    "poisabsorb": lambda d, x, **kw: poisabsorb(["visits"], x, ["firm"], d, **QUIET, **kw),
}


@pytest.mark.parametrize("fit", FITS)
@pytest.mark.parametrize("x,kw,error,message", [
    (["x1", "xc"], {}, ValueError, "Independent variable(s) complex-valued: ['xc']; only real numbers can be used"),
    (["x1", "xt"], {}, ValueError, "Independent variable(s) not numeric: ['xt']"),
    (["xd", "x1"], {}, ValueError, "Independent variable(s) not numeric: ['xd']"),
    (["x1"], {"eps_MAP": "1e-9"}, TypeError,
     "Invalid value for eps_MAP; must be in (0, inf); got '1e-9' of type str, expected a number"),
    (["x1"], {"verb": "loud"}, TypeError, "verb must be a number, got 'loud'"),
])
def test_bad_input_names_what_is_wrong(small, fit, x, kw, error, message):
    before = small.copy()
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        FITS[fit](small, x, **kw)
    pd.testing.assert_frame_equal(small, before)


@pytest.mark.parametrize("value", ["a", None, float("inf")])
def test_start_values_must_be_finite_numbers(small, value):
    with pytest.raises(ValueError, match=re.escape("start: the value for 'x1' must be")):
        poisabsorb(["visits"], ["x1", "x2"], ["firm"], small, start={"x1": value}, **QUIET)


@pytest.mark.parametrize("setype", ["robust", "homoskedastic"])
def test_no_residual_degrees_of_freedom_is_an_error(setype):
    rng = np.random.default_rng(0)
    d = pd.DataFrame(rng.normal(size=(5, 5)), columns=["y", "x1", "x2", "x3", "x4"]).assign(g=[0, 0, 1, 1, 2])
    with pytest.raises(ValueError, match=re.escape("leave 0 residual degrees of freedom")):
        linabsorb(["y"], ["x1", "x2", "x3", "x4"], None, d, setype=setype, **QUIET)
    res = linabsorb(["y"], ["x1", "x2", "x3", "x4"], None, d, setype="none", **QUIET)
    assert np.all(np.isfinite(res.params))


@pytest.mark.parametrize("column", ["firm", "cl", "off"])
def test_infinite_identifiers_clusters_and_offsets_drop_like_missing(small, column):
    d = small.assign(cl=small["year"].astype(float), off=0.1 * small["x2"], firm=small["firm"].astype(float))
    bad = d.index[[3, 17, 250]]
    with_inf, with_nan = d.copy(), d.copy()
    with_inf.loc[bad[:2], column] = [np.inf, -np.inf]
    with_inf.loc[bad[2], column] = np.nan
    with_nan.loc[bad, column] = np.nan
    kw = dict(setype="cluster", clustvars=["cl"], off=["off"], separation="off")
    a = poisabsorb(["visits"], ["x1", "x2"], ["firm", "year"], with_inf, **kw, **QUIET)
    b = poisabsorb(["visits"], ["x1", "x2"], ["firm", "year"], with_nan, **kw, **QUIET)
    assert a.nobs == b.nobs == len(d) - 3
    np.testing.assert_array_equal(np.ravel(a.params), np.ravel(b.params))
    np.testing.assert_array_equal(np.ravel(a.bse), np.ravel(b.bse))
    assert list(a.msg) == list(b.msg)
    if column != "off":
        la = linabsorb(["wage"], ["x1", "x2"], ["firm", "year"], with_inf, setype="cluster", clustvars=["cl"], **QUIET)
        lb = linabsorb(["wage"], ["x1", "x2"], ["firm", "year"], with_nan, setype="cluster", clustvars=["cl"], **QUIET)
        np.testing.assert_array_equal(np.ravel(la.params), np.ravel(lb.params))
        assert la.msg == lb.msg and any("3 observation(s)" in m for m in la.msg)
