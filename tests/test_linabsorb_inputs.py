"""linabsorb argument checks, estimation sample, messages and the caller's data."""

import re

import numpy as np
import pandas as pd
import pytest

from korvald.linabsorb import _linabsorb
from linabsorb_reference import Reference, drop_singletons, make_panel, spec_codes

linabsorb = _linabsorb.linabsorb


@pytest.fixture
def panel():
    return make_panel(n=120, seed=21)


def call(data, **kw):
    kw.setdefault("print_stata_style_summary", False)
    args = dict(y=["y"], x=["x1", "x2"], fixedeffects=["firm", "year"], data=data)
    args.update(kw)
    return linabsorb(**args)


@pytest.mark.parametrize("kw,exc,message", [
    # the data check comes first, then eps_MAP, then the iteration bounds
    (dict(data=None, eps_MAP=-1, maxsubiter=0.5), RuntimeError, "data must not be empty"),
    (dict(eps_MAP=0, maxsubiter=0.5), ValueError, "Invalid value for eps_MAP; must be in (0, inf)"),
    (dict(eps_MAP=-1e-9), ValueError, "Invalid value for eps_MAP; must be in (0, inf)"),
    (dict(eps_MAP=float("inf")), ValueError, "Invalid value for eps_MAP; must be in (0, inf)"),
    (dict(eps_MAP=float("nan")), ValueError, "Invalid value for eps_MAP; must be in (0, inf)"),
    (dict(maxsubiter=10.0, minsubiter=20), TypeError, "Number of iterations must be integer values"),
    (dict(minsubiter=1.0), TypeError, "Number of iterations must be integer values"),
    (dict(maxsubiter=np.int64(10)), TypeError, "Number of iterations must be integer values"),
    (dict(maxsubiter=0), ValueError, "Need at least one iteration"),
    (dict(maxsubiter=-5, minsubiter=-10), ValueError, "Need at least one iteration"),
    (dict(minsubiter=11, maxsubiter=10), ValueError,
     "Minimum number of iterations cannot exceed maximum number of iterations"),
    (dict(setype="Cluster", maxsubiter=1), ValueError, "Invalid standard error type"),
    (dict(setype="HC2"), ValueError, "Invalid standard error type"),
    # column checks: dependent, regressors, fixed effects, clusters
    (dict(y=["nope"], x=["x9"]), ValueError, "Dependent variable(s) not in data: ['nope']"),
    (dict(x=["x1", "x9", "x8"], fixedeffects=["zz"]), ValueError,
     "Independent variable(s) not in data: ['x9', 'x8']"),
    (dict(fixedeffects=["v#u", "firm", "u"], setype="cluster"), ValueError,
     "Fixed effects variable(s) not in data: ['u', 'v']"),
    (dict(setype="cluster"), ValueError, "No cluster defined"),
    (dict(setype="cl", clustvars=["a", "b", "c", "d", "e"]), ValueError, "At most 4 cluster dimensions allowed"),
    (dict(setype="multiway", clustvars=["firm", "zz"]), ValueError, "Cluster variable(s) not in data: ['zz']"),
    (dict(setype="c", clustvars=["region"], data="constant-cluster"), RuntimeError,
     "Cluster with a single category deteced"),
    (dict(fixedeffects=["id"], data="all-singletons"), Exception,
     "All observations can be explained by the fixed effects"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_failures_raise_exact_messages(panel, kw, exc, message):
    if kw.get("data") == "constant-cluster":
        kw["data"] = panel.assign(region=1)
    elif kw.get("data") == "all-singletons":
        kw["data"] = panel.assign(id=np.arange(len(panel)))
    else:
        kw.setdefault("data", panel)
    with pytest.raises(exc, match="^" + re.escape(message) + "$") as info:
        call(kw.pop("data"), **kw)
    assert type(info.value) is exc


@pytest.mark.parametrize("given,normalised", [
    ("homoskedastic", "homoskedastic"), ("homo", "homoskedastic"), ("iid", "homoskedastic"),
    ("r", "heteroskedastic"), ("robust", "heteroskedastic"), ("heteroskedastic", "heteroskedastic"),
    ("hetero", "heteroskedastic"), ("HC1", "heteroskedastic"),
    ("cluster", "cluster"), ("clus", "cluster"), ("clu", "cluster"), ("multiway", "cluster"),
    ("c", "cluster"), ("cl", "cluster"),
])
def test_standard_error_synonyms(panel, given, normalised):
    res = call(panel, setype=given, clustvars=["firm"])
    assert res.cov_type == normalised


@pytest.mark.parametrize("setype", [None, "none"])
def test_no_standard_errors(panel, setype, capsys):
    res = call(panel, setype=setype, print_stata_style_summary=True)
    assert capsys.readouterr().out == ""
    assert isinstance(res.params, np.ndarray) and res.params.shape == (2, 1)
    for name in ["bse", "tvalues", "pvalues", "covmat", "cov_type", "cons", "summary_df"]:
        assert not hasattr(res, name)


def test_integer_like_iteration_bounds_pass(panel):
    res = call(panel, minsubiter=True, maxsubiter=1000, eps_MAP=1)  # bool is an int; eps may be an int
    assert res.nobs > 0


@pytest.mark.parametrize("bad_call", [
    lambda df: linabsorb(["y"], ["x1"], ["firm"], df, "none", None, False, 0, 1e-9, 0, 1000, True, 0, True, 1),
    lambda df: linabsorb(["y"], ["x1"], data=df, fixed_effects=["firm"]),
    lambda df: linabsorb(["y"], data=df),
    lambda df: linabsorb(x=["x1"], data=df),
])
def test_wrong_calls_raise_type_error(panel, bad_call):
    with pytest.raises(TypeError):
        bad_call(panel)


def test_fourteen_positional_arguments(panel):
    res = linabsorb(["y"], ["x1"], ["firm"], panel, "homo", None, False, 0, 1e-9, 0, 1000, False, 1, False)
    assert res.cov_type == "homoskedastic" and not hasattr(res, "summary_df")


def test_invalid_rows_are_dropped_and_counted(capsys):
    df = make_panel(n=150, seed=22)
    df["unused"] = np.nan  # not named by the call: ignored
    df["cl"] = df["region"].astype(float)
    df.loc[df.index[5], "y"] = np.nan
    df.loc[df.index[6], "x1"] = np.inf
    df.loc[df.index[7], "x2"] = -np.inf
    df.loc[df.index[8], "year"] = np.nan
    df.loc[df.index[9], "cl"] = np.nan  # only matters when clustering
    bad = df.index[[5, 6, 7, 8]]
    for setype, n_bad in [("homoskedastic", 4), ("cluster", 5)]:
        for verb in [0, 1]:
            res = call(df, setype=setype, clustvars=["cl"], verb=verb)
            out = capsys.readouterr().out.splitlines()
            note = f"{n_bad} observation(s) have been excluded due to non-valid values"
            assert res.msg.count(note) == 1
            assert (note in out) is (verb > 0)
            assert not set(res.resid.index) & set(bad)
    valid = df.drop(index=bad).astype({"year": np.int64})
    sample = drop_singletons(valid, ["firm", "year"])
    ref = Reference(sample, "y", ["x1", "x2"], ["firm", "year"])
    res = call(df, eps_MAP=1e-13)
    np.testing.assert_allclose(np.ravel(res.params), ref.beta, rtol=1e-8)
    assert res.nobs == len(sample)


@pytest.mark.parametrize("make", [
    lambda d: d.assign(y=np.nan),
    lambda d: d.assign(x2=np.where(np.arange(len(d)) % 2 == 0, np.nan, np.inf)),
    lambda d: d.iloc[:0],
], ids=["y-missing", "x-nonfinite", "no-rows"])
def test_sample_emptied_by_invalid_rows(panel, make):
    df = make(panel)
    message = ("No observations left: the data has no rows" if len(df) == 0 else
               "No observations left: every row has a missing or non-finite value in the model's variables")
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        call(df)


def test_singletons_are_dropped_and_counted(capsys):
    df = make_panel(n=150, seed=23, singletons=4)
    sample = drop_singletons(df, ["firm", "year"])
    res = call(df, verb=1)
    note = f"{len(df) - len(sample)} observation(s) have been excluded due to missing within group variation"
    assert note in res.msg and note in capsys.readouterr().out.splitlines()
    assert sorted(res.resid.index) == sorted(sample.index)
    res = call(df, verb=0)
    assert note in res.msg and capsys.readouterr().out == ""


def test_verbose_lines_and_duplicate_specifications(panel, capsys):
    res = call(panel, fixedeffects=["firm", "region#year", "firm", "region#year"], verb=1)
    out = capsys.readouterr().out.splitlines()
    assert out.count('Fixed effect "firm" is duplicate and ignored') == 1
    assert out.count('Fixed effect "region#year" is duplicate and ignored') == 1
    assert not any("duplicate" in m for m in res.msg)
    n_firm = panel["firm"].nunique()
    n_ry = len(panel.groupby(["region", "year"]))
    assert f"Created firm fixed effects with {n_firm} groups" in out
    assert f"Created region-year fixed effects with {n_ry} groups" in out
    assert res.formula_Stata == "linabsorb y x1 x2, absorb(firm region#year)"
    quiet = call(panel, fixedeffects=["firm", "region#year"])
    np.testing.assert_allclose(np.ravel(res.params), np.ravel(quiet.params), rtol=1e-12)


def test_cluster_notes(panel, capsys):
    res = call(panel, clustvars=["not_a_column"])
    note = "Cluster variables found but SEtype is not cluster; ignoring"
    assert res.msg[0] == note
    assert note in capsys.readouterr().out.splitlines()
    res = call(panel, setype="cluster", clustvars=["firm", "year"])
    assert "Standard errors clustered on firm, year" in res.msg
    assert "Standard errors clustered on" not in capsys.readouterr().out


def test_caller_data_unchanged_and_labels_kept():
    df = make_panel(n=160, seed=24)
    df["fe_text"] = "g" + (df["region"] % 3).astype(str)
    df["big_id"] = np.int64(2 ** 60) + df["firm"].astype(np.int64)
    df.loc[df.index[3], "x1"] = np.nan
    rng = np.random.default_rng(0)
    df.index = pd.Index(rng.permutation([f"row{i}" for i in range(len(df))]), name="label")
    before = df.copy(deep=True)
    values_before = {c: df[c].to_numpy().copy() for c in df.columns}
    res = call(df, fixedeffects=["big_id", "fe_text#year"], setype="cluster", clustvars=["fe_text", "big_id"],
               FEgen=True)
    pd.testing.assert_frame_equal(df, before, check_exact=True)
    for c in df.columns:
        assert df[c].dtype == before[c].dtype
        np.testing.assert_array_equal(df[c].to_numpy(), values_before[c])
    # outputs carry the caller's labels, ordered by the identifier with the most groups
    sample = drop_singletons(df.dropna(subset=["x1"]), ["big_id", "fe_text#year"])
    assert res.resid.index.name is None or res.resid.index.name == "initial_index"
    assert sorted(res.resid.index) == sorted(sample.index)
    codes = pd.Series(spec_codes(sample, "big_id"), index=sample.index)
    assert codes.loc[res.resid.index].is_monotonic_increasing
    for series in [res.fittedvalues, res.fe_rowsum, res.fixed_effects["big_id"]]:
        assert series.index.equals(res.resid.index)
    np.testing.assert_allclose(res.fittedvalues + res.resid, df.loc[res.resid.index, "y"], rtol=1e-12)


@pytest.mark.parametrize("sorted_by_key", [True, False])
def test_range_index_labels_with_start_and_step(sorted_by_key):
    # a RangeIndex's labels are worked out, not read from it: the same labels
    # must come out, in output order, whatever its start and step
    df = make_panel(n=160, seed=25)
    if sorted_by_key:
        df = df.sort_values("firm", kind="stable")
    df.index = pd.RangeIndex(start=7, stop=7 + 3 * len(df), step=3)
    df = df[df.groupby("firm")["firm"].transform("size") > 1]  # no singletons: the sample keeps the RangeIndex
    df.index = pd.RangeIndex(start=7, stop=7 + 3 * len(df), step=3)
    res = call(df, fixedeffects=["firm"])
    by_label = pd.Series(df["firm"].to_numpy(), index=df.index.to_numpy())
    assert sorted(res.resid.index) == sorted(df.index)
    assert by_label.loc[res.resid.index].is_monotonic_increasing
    np.testing.assert_allclose(res.fittedvalues + res.resid, df.loc[res.resid.index, "y"], rtol=1e-12)


@pytest.mark.parametrize("accel,name", [(True, "MAP_NH_CG_accel"), (False, "MAP_NH_noaccel")])
def test_divergence_message_names_the_routine(panel, monkeypatch, accel, name):
    real = getattr(_linabsorb, name)

    def diverging(Z, *rest):
        out = np.array(real(Z, *rest))
        out[len(out) // 2, 0] = np.nan
        return out

    diverging.__name__ = real.__name__
    monkeypatch.setattr(_linabsorb, name, diverging)
    with pytest.raises(Exception, match="^" + re.escape(name + "(y,X) diverged") + "$") as info:
        call(panel, accel=accel)
    assert type(info.value) is Exception


def test_backend_receives_the_controls(panel, monkeypatch):
    seen = {}
    real = _linabsorb.MAP_NH_noaccel

    def spy(*args):
        seen["args"] = args
        return real(*args)

    monkeypatch.setattr(_linabsorb, "MAP_NH_noaccel", spy)
    call(panel, accel=0, eps_MAP=1e-7, minsubiter=3, maxsubiter=77, nt=1)
    Z, w, panelmat, tol, mn, mx, verb, nt = seen["args"]
    assert w is None and (tol, mn, mx, verb, nt) == (1e-7, 3, 77, 0, 1)
    assert Z.dtype == np.float64 and Z.flags.c_contiguous and Z.shape[1] == 3
    assert panelmat.shape == (2, 2) and panelmat.dtype == object


@pytest.mark.parametrize("accel,name", [(True, "MAP_NH_CG_accel"), (False, "MAP_NH_noaccel")])
def test_replaced_routine_gets_plain_arguments_and_keeps_its_input(panel, monkeypatch, accel, name):
    # The package's own routine writes its result over the estimator's block;
    # a routine put in its place gets eight positional arguments and an input
    # nobody writes over, and the estimates are the same to the last bit.
    kw = dict(accel=accel, setype="cluster", clustvars=["firm"], FEgen=True)
    own = call(panel, **kw)
    real = getattr(_linabsorb, name)
    seen = []

    def replaced(*args):
        seen.append((args[0], args[0].copy()))
        return real(*args)

    replaced.__name__ = name
    monkeypatch.setattr(_linabsorb, name, replaced)
    other = call(panel, **kw)
    (Z, Z_before), = seen
    assert np.array_equal(Z, Z_before)
    for attr in ["params", "bse", "resid", "fittedvalues"]:
        assert np.array_equal(getattr(other, attr), getattr(own, attr)), attr
    assert (other.cons, other.cons_se) == (own.cons, own.cons_se)
    assert np.array_equal(other.fixed_effects["__hdfe_sum__"], own.fixed_effects["__hdfe_sum__"])


@pytest.mark.parametrize("accel,name", [(True, "MAP_NH_CG_accel"), (False, "MAP_NH_noaccel")])
def test_non_finite_coefficients_name_the_routine(panel, monkeypatch, accel, name):
    real = np.linalg.lstsq

    def broken(a, b, rcond):
        beta, *rest = real(a, b, rcond)
        return (np.full_like(beta, np.inf), *rest)

    monkeypatch.setattr(np.linalg, "lstsq", broken)
    with pytest.raises(Exception, match="^" + re.escape(name + "(z,X) diverged") + "$") as info:
        call(panel, accel=accel)
    assert type(info.value) is Exception


RESERVED = "Column name(s) reserved for the estimation sample: {}; rename them in data"


@pytest.mark.parametrize("kw,exc,message", [
    # a second dependent variable or none at all would misalign the partialled-out block
    (dict(y=["y", "x1"]), ValueError, "y must name exactly one dependent variable, got 2: ['y', 'x1']"),
    (dict(y=[]), ValueError, "y must name exactly one dependent variable, got 0: []"),
    # a plain string would be read one character at a time
    (dict(y="y"), TypeError, "y must be a list of column names"),
    (dict(x="x1"), TypeError, "x must be a list of column names"),
    (dict(x=None), TypeError, "x must be a list of column names"),
    (dict(x=3), TypeError, "x must be a list of column names"),
    (dict(fixedeffects="firm"), TypeError, "fixedeffects must be a list of column names"),
    (dict(fixedeffects=["firm", 7]), TypeError,
     'fixedeffects must hold strings (a column name or names joined by "#")'),
    (dict(setype="cluster", clustvars="firm"), TypeError, "clustvars must be a list of column names"),
    (dict(setype="cluster", clustvars=[]), ValueError, "No cluster defined"),
    (dict(setype="cluster", clustvars=["firm", "year", "firm"]), ValueError,
     "clustvars contains repeated names: ['firm']"),
    (dict(data={"y": [1.0]}), TypeError, "data must be a pandas DataFrame"),
    (dict(data="repeated-y"), ValueError, "Column name(s) occur more than once in data: ['y']"),
    (dict(data="repeated-firm"), ValueError, "Column name(s) occur more than once in data: ['firm']"),
    # working columns of the sample: a model column of that name would be overwritten
    (dict(x=["fe_A", "x2"], data="fe_A"), ValueError, RESERVED.format("['fe_A']")),
    (dict(fixedeffects=["year", "fe_B"], data="fe_B"), ValueError, RESERVED.format("['fe_B']")),
    (dict(x=["x1", "initial_index"], data="initial_index"), ValueError, RESERVED.format("['initial_index']")),
], ids=lambda v: v if isinstance(v, str) else None)
def test_badly_shaped_arguments_get_clear_errors(panel, kw, exc, message):
    data = kw.pop("data", "panel")
    if data == "panel":
        data = panel
    elif data == "repeated-y":
        data = pd.concat([panel, panel[["y"]]], axis=1)
    elif data == "repeated-firm":
        data = pd.concat([panel, panel[["firm"]]], axis=1)
    elif data in ("fe_A", "fe_B", "initial_index"):
        data = panel.assign(**{data: panel["x1"] * 0 + panel["firm"]})
    with pytest.raises(exc, match="^" + re.escape(message) + "$") as info:
        call(data, **kw)
    assert type(info.value) is exc


def test_reserved_names_only_matter_when_the_model_uses_them(panel):
    # fe_B is not generated with one specification, and unused columns never clash
    df = panel.assign(fe_B=panel["x1"].to_numpy(), initial_index=1.0)
    a = call(df, x=["fe_B", "x2"], fixedeffects=["firm"])
    b = call(panel, x=["x1", "x2"], fixedeffects=["firm"])
    np.testing.assert_allclose(np.ravel(a.params), np.ravel(b.params), rtol=1e-12)


def test_name_arguments_may_be_any_iterable(panel):
    ref = call(panel, setype="cluster", clustvars=["firm", "year"])
    res = call(panel, y=("y",), x=(v for v in ["x1", "x2"]), fixedeffects=np.array(["firm", "year"]),
               setype="cluster", clustvars=iter(["firm", "year"]))
    np.testing.assert_allclose(res.params.to_numpy(), ref.params.to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.bse.to_numpy(), rtol=1e-12)
    assert res.clustvars == ["firm", "year"] and res.model.exog_names == ["x1", "x2"]
    assert res.formula_Stata == ref.formula_Stata
    for cl in (["firm", "year"], ("firm", "year")):
        assert call(panel, setype="cluster", clustvars=cl).clustvars is cl  # the caller's own object


def test_text_regressor_error_names_the_column(panel):
    df = panel.assign(x2=np.where(np.arange(len(panel)) == 4, "n/a", panel["x2"].astype(str)))
    with pytest.raises(ValueError, match=re.escape("Independent variable(s) not numeric: ['x2']")):
        call(df)


def test_cluster_variables_named_like_generated_identifiers(panel):
    # clu_A / clu_B are also the names of the generated subset identifiers
    ref = call(panel, setype="cluster", clustvars=["region", "year"])
    df = panel.assign(clu_B=panel["region"], clu_A=panel["year"])
    res = call(df, setype="cluster", clustvars=["clu_B", "clu_A"])
    np.testing.assert_allclose(res.covmat, ref.covmat, rtol=1e-12)
    np.testing.assert_allclose([res.cons_se, res.df_resid_inference], [ref.cons_se, ref.df_resid_inference],
                               rtol=1e-12)


def test_caller_lists_unchanged(panel, capsys):
    y, x, fe, cl = ["y"], ["x2", "x1"], ["firm", "year", "firm"], ["year", "firm"]
    saved = [list(v) for v in (y, x, fe, cl)]
    res = call(panel, y=y, x=x, fixedeffects=fe, setype="cluster", clustvars=cl)
    assert [y, x, fe, cl] == saved
    # the duplicate specification is dropped from the model, not from the caller's list
    assert res.formula_Stata == "linabsorb y x2 x1, absorb(firm year) vce(cluster year firm)"
    assert capsys.readouterr().out.count('Fixed effect "firm" is duplicate and ignored') == 1
