"""Exact exceptions, logged messages and printed notes of poisabsorb's input
preparation, starting values and IRLS loop."""

import re

import numpy as np
import pandas as pd
import pytest

from korvald.poisabsorb import _poisabsorb
from _poisson_ref import make_panel

EPS = "Invalid value for {}; must be in (0, inf)"
ITER_MINMAX = "Minimum number of iterations cannot exceed maximum number of iterations"


@pytest.fixture(scope="module")
def df():
    d = make_panel(n=120, seed=21)
    d["eta_bad"] = 0.0
    d.loc[d.index[3], "eta_bad"] = np.nan
    d["eta_huge"] = 800.0
    d["off_neg"] = 0.0
    d.loc[d.index[5], "off_neg"] = -np.inf
    d["off_pos"] = 0.0
    d.loc[d.index[5], "off_pos"] = np.inf
    d["label"] = np.where(d["x1"] > 0, "hi", "lo")
    d["when"] = pd.Timestamp("2020-01-01") + pd.to_timedelta(np.arange(len(d)), unit="D")
    d["fe_B"] = d["x3"] * 2.0
    d["initial_index"] = 0.0
    return d


def call(df, **kw):
    y = kw.pop("y", ["y"])
    x = kw.pop("x", ["x1", "x2"])
    fe = kw.pop("fixedeffects", ["a#b", "c"])
    kw.setdefault("print_stata_style_summary", False)
    return _poisabsorb.poisabsorb(y, x, fe, df, **kw)


@pytest.mark.parametrize(
    "kw, exc, message",
    [
        ({"data": None}, RuntimeError, "data must not be empty"),
        ({"eps_MAP": 0}, ValueError, EPS.format("eps_MAP")),
        ({"eps_MAP": float("nan")}, ValueError, EPS.format("eps_MAP")),
        ({"eps_beta": float("inf")}, ValueError, EPS.format("eps_beta")),
        ({"eps_beta": -1e-8}, ValueError, EPS.format("eps_beta")),
        ({"start_inner_tol": 0.0}, ValueError, EPS.format("start_inner_tol")),
        ({"eps_MAP": 0, "maxiter": 1.5}, ValueError, EPS.format("eps_MAP")),
        ({"maxiter": 10.0}, TypeError, "Number of iterations must be integer values"),
        ({"miniter": np.int64(1)}, TypeError, "Number of iterations must be integer values"),
        ({"maxsubiter": 100.0}, TypeError, "Number of iterations must be integer values"),
        ({"maxiter": 0}, ValueError, "Need at least one iteration"),
        ({"maxsubiter": -3}, ValueError, "Need at least one iteration"),
        ({"miniter": 5, "maxiter": 3}, ValueError, ITER_MINMAX),
        ({"minsubiter": 20, "maxsubiter": 10}, ValueError, ITER_MINMAX),
        ({"setype": "Robust"}, ValueError, "Invalid standard error type"),
        ({"setype": None}, ValueError, "Invalid standard error type"),
        ({"y": ["nope"]}, ValueError, "Dependent variable(s) not in data: ['nope']"),
        ({"x": ["x1", "zz", "qq"]}, ValueError, "Independent variable(s) not in data: ['zz', 'qq']"),
        ({"fixedeffects": ["a#zz", "yy"]}, ValueError, "Fixed effects variable(s) not in data: ['yy', 'zz']"),
        ({"setype": "cl"}, ValueError, "No cluster defined"),
        ({"setype": "cluster", "clustvars": ["p", "q", "r", "s", "t"]}, ValueError,
         "At most 4 cluster dimensions allowed"),
        ({"setype": "clus", "clustvars": ["a", "k9"]}, ValueError, "Cluster variable(s) not in data: ['k9']"),
        ({"eta_0": ["e0"]}, ValueError, "Starting values not in data: ['e0']"),
        ({"eta_0": ["eta_bad"]}, ValueError, "Starting values contain missing/infinite values"),
        ({"off": ["o"]}, ValueError, "Offset variable(s) not in data: ['o']"),
        ({"start": "OLS"}, ValueError, "Unknown start='OLS'. Use 'simple', 'ols', or a dict {var: value, ...}."),
        ({"start": 3}, ValueError, "Unknown start=3. Use 'simple', 'ols', or a dict {var: value, ...}."),
        ({"start": {"x2": 1.0, "x9": 0.0, "c": 2}}, ValueError,
         "start dict contains variables not in x (or dropped for collinearity): ['x9', 'c']"),
        ({"eta_0": ["eta_huge"]}, ValueError,
         "Non-finite mu at start of IRLS; check starting values (start argument) - got eta with range "
         "[8.000e+02, 8.000e+02]"),
        # argument shapes: a string would be read one character at a time, a second
        # dependent or offset column would be silently ignored or misread
        ({"data": {"y": [1.0]}}, TypeError, "data must be a pandas DataFrame"),
        ({"y": "y"}, TypeError, "y must be a list of column names"),
        ({"y": ["y", "x3"]}, ValueError, "y must name exactly one dependent variable, got 2: ['y', 'x3']"),
        ({"y": []}, ValueError, "y must name exactly one dependent variable, got 0: []"),
        ({"x": "x1"}, TypeError, "x must be a list of column names"),
        ({"x": None}, TypeError, "x must be a list of column names"),
        ({"fixedeffects": "c"}, TypeError, "fixedeffects must be a list of column names"),
        ({"fixedeffects": [["c"]]}, TypeError, 'fixedeffects must hold strings (a column name or names joined by "#")'),
        ({"setype": "cluster", "clustvars": "a"}, TypeError, "clustvars must be a list of column names"),
        ({"setype": "cluster", "clustvars": []}, ValueError, "No cluster defined"),
        ({"setype": "cluster", "clustvars": ["a", "c", "a"]}, ValueError, "clustvars contains repeated names: ['a']"),
        ({"off": "lexp"}, TypeError, "off must be a list of column names"),
        ({"off": ["x3", "eta_bad"]}, ValueError, "off must name exactly one offset column, got 2: ['x3', 'eta_bad']"),
        ({"eta_0": ["x3", "x1"]}, ValueError,
         "eta_0 must name exactly one column of starting values, got 2: ['x3', 'x1']"),
        # working columns of the sample would overwrite a model column of that name
        ({"x": ["x1", "fe_B"]}, ValueError,
         "Column name(s) reserved for the estimation sample: ['fe_B']; rename them in data"),
        ({"off": ["initial_index"]}, ValueError,
         "Column name(s) reserved for the estimation sample: ['initial_index']; rename them in data"),
        # a column shared with a regressor would be divided by the regressor's std. dev.
        ({"x": ["x1", "y"]}, ValueError, "Dependent variable(s) also listed as regressor(s): ['y']"),
        ({"off": ["x2"]}, ValueError, "Offset variable(s) also listed as regressor(s): ['x2']"),
        ({"eta_0": ["x1"]}, ValueError, "Starting values also listed as regressor(s): ['x1']"),
        ({"x": ["x1", "label", "when"]}, ValueError, "Independent variable(s) not numeric: ['label', 'when']"),
        ({"y": ["label"]}, ValueError, "Dependent variable(s) not numeric: ['label']"),
        ({"maxiter": 1}, Exception, "Did not converge"),
        ({"miniter": 3, "maxiter": 3}, Exception, "Did not converge"),
    ],
)
def test_exceptions(df, kw, exc, message):
    data = kw.pop("data", df)
    pattern = "^" + re.escape(message) + ("" if message.endswith("range ") else "$")
    with pytest.raises(exc, match=pattern) as info:
        call(data, **kw)
    if exc is Exception:
        assert type(info.value) is Exception


def test_dropped_regressor_in_start_dict(df):
    d = df.assign(xc=df["c"] * 2.0)  # constant within the c fixed effect
    msg = "start dict contains variables not in x (or dropped for collinearity): ['xc']"
    with pytest.raises(ValueError, match=re.escape(msg)):
        call(d, x=["x1", "xc"], start={"xc": 1.0})


def test_convergence_at_miniter_plus_one(df, capsys):
    # the fit settles well before iteration 10; hits only count from there
    res = call(df, miniter=10, verb=1)
    out = capsys.readouterr().out
    assert res.fit_history == {"iteration": 12}
    assert "converged in 11 iterations\n" in out


def test_empty_sample_after_cleaning_is_reported(df):
    d = df.assign(y=-1.0)
    with pytest.raises(ValueError, match="^No observations left after dropping missing or invalid values$"):
        call(d)
    with pytest.raises(ValueError, match="^No observations left: the data has no rows$"):
        call(df.iloc[:0])


def test_column_named_twice_in_data(df):
    d = pd.concat([df[["y", "x1", "c"]], df[["x1"]]], axis=1)
    with pytest.raises(ValueError, match=re.escape("Column name(s) occur more than once in data: ['x1']")):
        call(d, x=["x1"], fixedeffects=["c"])


def test_column_lists_of_any_sequence_type(df):
    # tuples, pandas Index and arrays name columns as lists do; the caller's
    # objects are left as they were
    args = (("y",), pd.Index(["x1", "x2"]), np.array(["a#b", "c"]))
    res = _poisabsorb.poisabsorb(*args, df, setype="cluster", clustvars=("a",), off=("x3",),
                                 print_stata_style_summary=False)
    ref = call(df, setype="cluster", clustvars=["a"], off=["x3"])
    np.testing.assert_allclose(np.ravel(res.params), np.ravel(ref.params), rtol=1e-12)
    np.testing.assert_allclose(np.ravel(res.bse), np.ravel(ref.bse), rtol=1e-12)
    assert res.formula_Stata == ref.formula_Stata
    assert args[0] == ("y",) and list(args[1]) == ["x1", "x2"]


def test_notes_of_input_preparation(df, capsys):
    d = df.copy()
    d["yi"] = d["y"].astype("int64")
    d.loc[d.index[:3], "x1"] = [np.nan, np.inf, -np.inf]
    d.loc[d.index[3], "yi"] = -1
    res = call(d, y=["yi"], clustvars=["a"], print_stata_style_summary=True)
    out = capsys.readouterr().out.splitlines()
    assert list(res.msg)[:2] == [
        "Cluster variables found but SEtype is not cluster; ignoring",
        "4 observation(s) dropped due to missing or invalid values",
    ]
    assert out[:2] == [
        "Cluster variables found but SEtype is not cluster; ignoring",
        "note: 4 observation(s) dropped due to missing or invalid values",
    ]
    assert res.nobs == len(d) - 4 and res.N_dropped_invalid == 4


def test_recasting_note_only_for_a_non_double_common_type(df, capsys):
    d = df.copy()
    d["yi"] = d["y"].astype("int64")
    # integer y next to float regressors: the common type is float64, no note
    res = call(d, y=["yi"])
    assert "Some variables are not double, recasting" not in res.msg
    # everything integer: the common type is int64, note logged and printed
    d["x1i"] = (d["x1"] * 3).round().astype("int64")
    res = call(d, y=["yi"], x=["x1i"])
    assert list(res.msg)[0] == "Some variables are not double, recasting"
    assert capsys.readouterr().out.splitlines()[0] == "Some variables are not double, recasting"


def test_quiet_notes_follow_verb_or_summary(df, capsys):
    d = df.copy()
    d.loc[d.index[0], "y"] = -2.0
    res = call(d, keepsingletons=True, setype="cluster", clustvars=["a", "c"], print_stata_style_summary=False)
    assert capsys.readouterr().out == ""
    assert list(res.msg)[:3] == [
        "Standard errors clustered on a, c",
        "warning: keeping singleton groups will keep fixed effects that cause separation",
        "1 observation(s) dropped due to missing or invalid values",
    ]


def test_low_dependent_variable_warning(capsys):
    rng = np.random.default_rng(0)
    n = 60
    d = pd.DataFrame({"x": rng.normal(size=n), "g": np.arange(n) % 3})
    d["y"] = np.where(np.arange(n) % 3 == 0, 0.0, 1000.0) * rng.uniform(0.5, 1.5, n)
    d.loc[1, "y"] = 1e-12
    res = _poisabsorb.poisabsorb(["y"], ["x"], ["g"], d, print_stata_style_summary=False, verb=1)
    ratio = 1e-12 / np.std(d["y"].to_numpy())
    line = f"warning: dependent variable takes very low values after standardizing ({ratio:.4e})"
    assert line in res.msg
    assert line + "\n" in capsys.readouterr().out


def test_verbose_preparation_lines(df, capsys):
    d = df.assign(const=1.0)
    call(d, x=["x1", "x2", "const"], verb=1, eps_MAP=1e-20, start_inner_tol=1e-3, separation="off")
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Inner tolerance schedule: start=1.0e-03 -> effective_final=1.0e-12 (outer eps_beta=1.0e-08)"
    assert out[1] == "Standardized 2 of 3 regressor(s) by their std. dev."
    groups_ab = d.groupby(["a", "b"]).ngroups
    assert out[2:4] == [f"Created a-b fixed effects with {groups_ab} groups",
                        f"Created c fixed effects with {d['c'].nunique()} groups"]


@pytest.mark.parametrize(
    "eps_MAP, eps_beta, start_inner_tol, expected",
    [
        (1e-9, 1e-8, 1e-4, "start=1.0e-04 -> effective_final=1.0e-09"),
        (1e-3, 1e-8, 1e-4, "start=1.0e-04 -> effective_final=1.0e-09"),
        (1e-20, 1e-8, 1e-4, "start=1.0e-04 -> effective_final=1.0e-12"),
        (1e-9, 1e-8, 1e-12, "start=1.0e-09 -> effective_final=1.0e-09"),
        (1e-5, 1e-2, 1e-4, "start=1.0e-04 -> effective_final=1.0e-05"),
    ],
)
def test_inner_tolerance_schedule(df, capsys, eps_MAP, eps_beta, start_inner_tol, expected):
    try:
        call(df, verb=1, eps_MAP=eps_MAP, eps_beta=eps_beta, start_inner_tol=start_inner_tol, maxiter=1)
    except Exception:
        pass  # only the schedule line matters here
    first = capsys.readouterr().out.splitlines()[0]
    assert first == f"Inner tolerance schedule: {expected} (outer eps_beta={eps_beta:.1e})"


def test_collinearity_message_and_rank_warning(df, capsys):
    d = df.assign(x12=df["x1"] + df["x2"], xc=df["c"] * 1.5, x1b=df["x1"])
    res = call(d, x=["x1", "xc", "x2", "x12"], verb=1, separation="off")
    omitted = [m for m in res.msg if m.endswith("are omitted due to colliearity")]
    assert len(omitted) == 1 and omitted[0].startswith("The variables ")
    names = omitted[0][len("The variables "):-len(" are omitted due to colliearity")].split(", ")
    assert "xc" in names and len(names) == 2
    assert omitted[0] + "\n" in capsys.readouterr().out
    assert len(res.model.exog_names) == 2

    # without the screen identical columns reach the solver, whose rank falls short
    res = call(d, x=["x1", "x1b"], separation="off", nocheck=True)
    warn = [m for m in res.msg if "Least squares problem does not have full rank" in m]
    assert warn and warn[0] == ("Iteration 1: Least squares problem does not have full rank; "
                                "parameter estimates may be misleading")
    assert len(warn) == res.fit_history["iteration"] - 1
    np.testing.assert_allclose(np.ravel(res.params)[0], np.ravel(res.params)[1], rtol=1e-6)


@pytest.mark.parametrize("x", [["x1", "x2b", "x2"], ["x1", "x2", "x2"]], ids=["copy", "same-name"])
def test_identical_regressors_are_both_kept_and_reported_by_the_rank_check(df, x):
    # identical columns have identical rows in X'X, so both match the surviving row and
    # stay; the solver's rank check reports them on every iteration and the minimum-norm
    # solution splits the coefficient. A name listed twice is one column of the sample
    # and is standardised once (x2 has sd ~2), so the halves still add up to the fit
    # with the column once.
    d = df.assign(x2b=df["x2"])
    res = call(d, x=x, separation="off", setype="robust")
    assert not any("colliearity" in m for m in res.msg)
    warn = [m for m in res.msg if "Least squares problem does not have full rank" in m]
    assert len(warn) == res.fit_history["iteration"] - 1
    assert res.model.exog_names == x
    ref = call(d, x=["x1", "x2"], separation="off", setype="robust")
    params = np.ravel(res.params)
    np.testing.assert_allclose(params[1], params[2], rtol=1e-8)
    np.testing.assert_allclose([params[0], params[1] + params[2]], np.ravel(ref.params), rtol=1e-7)
    np.testing.assert_allclose(res.fittedvalues.to_numpy(), ref.fittedvalues.to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("x", [["xc"], ["xc", "xd"]], ids=["one", "two"])
def test_every_regressor_absorbed_leaves_the_fixed_effect_model(df, capsys, x):
    # both are constant within groups of c: nothing of X'X survives the screen
    d = df.assign(xc=df["c"] * 1.5, xd=(df["c"] == 2) * 1.0)
    res = call(d, x=x, verb=1, setype="robust", print_stata_style_summary=True)
    note = "The variables " + ", ".join(x) + " are omitted due to colliearity"
    assert note in res.msg and note + "\n" in capsys.readouterr().out
    assert res.model.exog_names == [] and len(res.params) == 0
    ref = call(d, x=[], setype="robust")
    np.testing.assert_allclose(res.fittedvalues.to_numpy(), ref.fittedvalues.to_numpy(), rtol=1e-10)
    assert res.cons == pytest.approx(ref.cons, rel=1e-10)
    assert res.cons_se == pytest.approx(ref.cons_se, rel=1e-10)
    assert list(res.summary_df.index) == ["_cons"]
