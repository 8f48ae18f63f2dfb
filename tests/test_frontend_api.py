"""Front-end surface: errors naming the term, labelled results, printing, signatures and stubs."""

import ast
import inspect
import io
import re
import sys
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvald
from korvald._capture import captured_stdout
from korvald.backend import demeankit, grpkit
from korvald.linabsorb import _linabsorb
from korvald.poisabsorb import _poisabsorb


def small_panel(n=300, seed=4):
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 20, n)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    return pd.DataFrame({"y": x1 - 0.5 * x2 + 0.2 * firm + rng.normal(size=n), "x1": x1, "x2": x2,
                         "firm_size": (firm % 4) * 1.0, "firm": firm, "year": rng.integers(0, 5, n)})


BAD = [
    ("y x1", None, "must have the form 'y ~ x1 + x2 | fe1 + fe2'"),
    ("y ~ x1 | firm | year", None, "has 2 '|'"),
    ("y ~ x1 | ", None, "empty fixed-effect part"),
    ("y ~ x1 | firm + ^year", None, "malformed at '^year'"),
    ("y ~ x1 + nosuch | firm", None, "`nosuch`"),
    ("y ~ x1 | firm + nosuch", None, "fixed effect 'nosuch'"),
    ("y ~ x1 + C(firm) | firm", None, "regressor 'C(firm)'"),
    ("y ~ x1 + year | firm^year", None, "regressor 'year'"),
    ("y ~ 0 + x1 | firm", None, "removes the constant"),
    ("y ~ x1 | firm", {"CRV1": "nosuch"}, "cluster 'nosuch'"),
    ("y ~ x1 | firm", {"CRV1": "firm+year+x1+x2+y"}, "between 1 and 4"),
    ("y ~ x1 | firm", "robust", "vcov 'robust'"),
]


@pytest.mark.parametrize("fml, vcov, text", BAD, ids=[b[0] + " " + str(b[1]) for b in BAD])
def test_errors_name_the_term_at_fault(fml, vcov, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        korvald.feols(fml, small_panel(), vcov)


def test_labels_omitted_regressors_and_matches_the_printed_table(capsys):
    data = small_panel()
    fit = korvald.feols("y ~ x1 + firm_size + x2 | firm", data, vcov="iid")
    assert capsys.readouterr().out == ""  # nothing printed unless asked
    assert fit.omitted == ["firm_size"] and fit.coef().index.tolist() == ["x1", "x2"]
    assert "omitted (collinear): firm_size" in repr(fit) and "vcov: iid" in repr(fit)

    direct = _linabsorb.linabsorb(["y"], ["x1", "firm_size", "x2"], ["firm"], data, setype="iid")
    printed = capsys.readouterr().out
    fit.summary()
    assert capsys.readouterr().out == printed[printed.index("=" * 80):]
    table = direct.summary_df.loc[["x1", "x2"]]
    np.testing.assert_allclose(fit.confint().to_numpy(), table[["[0.025", "0.975]"]].to_numpy(), rtol=1e-12)
    tidy = fit.tidy()
    np.testing.assert_array_equal(tidy[["estimate", "std.error", "statistic", "p.value"]].to_numpy(),
                                  table[["coef", "std_err", "t", "P>|t|"]].to_numpy())
    assert fit.vcov().loc["x2", "x1"] == direct.covmat[1, 0]
    assert fit.nobs == len(data)
    assert fit.r2 == pytest.approx(1 - direct.deviance / ((data.y - data.y.mean()) ** 2).sum(), rel=1e-10)


def test_duplicate_row_labels_map_back_to_the_callers_rows():
    data = small_panel()
    labelled = data.set_axis(np.repeat(np.arange(len(data) // 2), 2))
    fit = korvald.feols("y ~ x1 + x2 | firm", labelled)
    plain = korvald.feols("y ~ x1 + x2 | firm", data)
    assert np.array_equal(fit.coef(), plain.coef())
    ref = plain.resid()
    np.testing.assert_array_equal(fit.resid().index, labelled.index[ref.index])
    np.testing.assert_array_equal(fit.resid().to_numpy(), ref.to_numpy())


def _nb_parameters(func):
    """Parameter names and defaults of a nanobind function, from its signature record."""
    text, _, defaults = func.__nb_signature__[0]
    params = text[text.index("(") + 1: text.rindex(") ->")] if ") ->" in text else text[text.index("(") + 1:-1]
    out = {}
    for piece in re.split(r",\s*(?![^\[]*\])", params):
        name = piece.split(":")[0].strip()
        ref = re.search(r"\\(\d+)", piece)
        out[name] = defaults[int(ref.group(1))] if ref else inspect.Parameter.empty
    return out


MODULES = [_linabsorb, _poisabsorb, grpkit, demeankit]


@pytest.mark.parametrize("module", MODULES, ids=[m.__name__ for m in MODULES])
def test_stubs_match_the_extension_functions(module):
    stub = Path(module.__file__).parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")
    functions = [n for n in ast.parse(stub.read_text()).body if isinstance(n, ast.FunctionDef)]
    own = {n for n in dir(module)
           if hasattr(getattr(module, n), "__nb_signature__") and getattr(module, n).__module__ == module.__name__}
    assert {f.name for f in functions} == own
    for f in functions:
        args = f.args.args
        defaults = [inspect.Parameter.empty] * (len(args) - len(f.args.defaults)) + [
            ast.literal_eval(d) for d in f.args.defaults]
        declared = dict(zip([a.arg for a in args], defaults))
        if f.args.kwonlyargs:  # nanobind lists the bare '*' as a parameter
            declared["*"] = inspect.Parameter.empty
            declared.update({a.arg: inspect.Parameter.empty if d is None else ast.literal_eval(d)
                             for a, d in zip(f.args.kwonlyargs, f.args.kw_defaults)})
        assert declared == _nb_parameters(getattr(module, f.name)), f.name


@pytest.mark.parametrize("wrapper, ext", [(korvald.linabsorb, _linabsorb.linabsorb),
                                          (korvald.poisabsorb, _poisabsorb.poisabsorb)])
def test_top_level_estimators_expose_the_extension_signature(wrapper, ext):
    params = inspect.signature(wrapper).parameters
    assert {n: p.default for n, p in params.items() if p.kind != p.VAR_KEYWORD} == _nb_parameters(ext)
    assert "Returns" in wrapper.__doc__ and korvald.ConvergenceWarning.__module__ == "korvald.errors"


def test_capture_leaves_other_threads_output_alone():
    target = io.StringIO()
    saved, sys.stdout = sys.stdout, target
    try:
        inside, release = threading.Event(), threading.Event()

        def capturing():
            with captured_stdout() as buf:
                print("captured line")
                inside.set()
                release.wait(5)
            assert buf.getvalue() == "captured line\n"

        worker = threading.Thread(target=capturing)
        worker.start()
        inside.wait(5)
        print("other thread")
        release.set()
        worker.join()
        assert sys.stdout is target
    finally:
        sys.stdout = saved
    assert target.getvalue() == "other thread\n"
