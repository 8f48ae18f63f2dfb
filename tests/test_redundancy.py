"""Fixed-effect redundancy accounting (calculate_fe_redundancies) in both estimator modules."""

import numpy as np
import pandas as pd
import pytest

from korvald.linabsorb import _linabsorb
from korvald.poisabsorb import _poisabsorb

MODULES = [pytest.param(_linabsorb, id="linear"), pytest.param(_poisabsorb, id="poisson")]


@pytest.fixture(scope="module")
def panel():
    # Unbalanced panel: not every firm is observed in every year, and the
    # numbers of firms, years and states all differ, so a wrong group-by or a
    # swapped count shows up.
    rng = np.random.default_rng(7)
    n = 400
    firm = rng.integers(0, 37, n)
    df = pd.DataFrame(
        {
            "firm": firm,
            "year": rng.integers(2000, 2011, n),
            "state": firm % 6,  # firm nested in state
            "importer": rng.choice(list("abcdefghij"), n),
            "exporter": rng.choice(list("pqrstuvwxyzklmn"), n),
        }
    )
    return df


def n_distinct(df, cols):
    """Brute-force count of distinct value combinations."""
    return len(set(zip(*(df[c].tolist() for c in cols))))


def entry(categories, redundant):
    return {"categories": categories, "redundant": redundant, "num_coefs": max(categories - redundant, 0)}


@pytest.mark.parametrize("mod", MODULES)
@pytest.mark.parametrize(
    "specs, setype, clustvars, expected",
    [
        # non-overlapping specifications are never reduced, not even by one level
        (["importer", "exporter"], None, None,
         lambda d: {"importer": entry(n_distinct(d, ["importer"]), 0),
                    "exporter": entry(n_distinct(d, ["exporter"]), 0)}),
        # an interaction followed by one of its components loses all of it
        (["firm#year", "firm"], "homoskedastic", None,
         lambda d: {"firm#year": entry(n_distinct(d, ["firm", "year"]), 0),
                    "firm": entry(n_distinct(d, ["firm"]), n_distinct(d, ["firm"]))}),
        # the largest overlap wins; overlaps are not added up
        (["firm", "year", "firm#year"], "heteroskedastic", None,
         lambda d: {"firm": entry(n_distinct(d, ["firm"]), 0),
                    "year": entry(n_distinct(d, ["year"]), 0),
                    "firm#year": entry(n_distinct(d, ["firm", "year"]),
                                       max(n_distinct(d, ["firm"]), n_distinct(d, ["year"])))}),
        (["year", "firm", "year#firm"], None, None,
         lambda d: {"year": entry(n_distinct(d, ["year"]), 0),
                    "firm": entry(n_distinct(d, ["firm"]), 0),
                    "year#firm": entry(n_distinct(d, ["firm", "year"]),
                                       max(n_distinct(d, ["firm"]), n_distinct(d, ["year"])))}),
        # overlap on part of a three-way interaction: the overlap's own group count
        (["state#year", "firm#state#year"], None, None,
         lambda d: {"state#year": entry(n_distinct(d, ["state", "year"]), 0),
                    "firm#state#year": entry(n_distinct(d, ["firm", "state", "year"]),
                                             n_distinct(d, ["state", "year"]))}),
        # nested in a cluster variable: fully redundant, also in first position
        (["firm#year", "year"], "cluster", ["firm"],
         lambda d: {"firm#year": entry(n_distinct(d, ["firm", "year"]), n_distinct(d, ["firm", "year"])),
                    "year": entry(n_distinct(d, ["year"]), n_distinct(d, ["year"]))}),
        # the cluster rule applies only to "cluster"
        (["firm#year", "year"], "heteroskedastic", ["firm"],
         lambda d: {"firm#year": entry(n_distinct(d, ["firm", "year"]), 0),
                    "year": entry(n_distinct(d, ["year"]), n_distinct(d, ["year"]))}),
        # clustvars None under "cluster": no specification is nested
        (["firm", "state"], "cluster", None,
         lambda d: {"firm": entry(n_distinct(d, ["firm"]), 0),
                    "state": entry(n_distinct(d, ["state"]), 0)}),
        # cluster on a variable that is not part of any specification
        (["firm", "year"], "cluster", ["state"],
         lambda d: {"firm": entry(n_distinct(d, ["firm"]), 0),
                    "year": entry(n_distinct(d, ["year"]), 0)}),
        # a later specification nested in the cluster variable
        (["firm", "firm#year"], "cluster", ["year"],
         lambda d: {"firm": entry(n_distinct(d, ["firm"]), 0),
                    "firm#year": entry(n_distinct(d, ["firm", "year"]), n_distinct(d, ["firm", "year"]))}),
    ],
)
def test_counts(mod, panel, specs, setype, clustvars, expected):
    before = panel.copy()
    out = mod.calculate_fe_redundancies(panel, specs, ["fe_A", "fe_B", "fe_C"][: len(specs)],
                                        setype=setype, clustvars=clustvars)
    want = expected(panel)
    assert out == want
    assert list(out) == specs  # insertion order follows the specification list
    for v in out.values():
        assert all(type(v[k]) is int for k in ("categories", "redundant", "num_coefs"))
    pd.testing.assert_frame_equal(panel, before)


@pytest.mark.parametrize("mod", MODULES)
def test_repeated_specification_overwrites(mod, panel):
    out = mod.calculate_fe_redundancies(panel, ["firm", "firm#year", "firm"], None)
    # the repeated "firm" (position 2) overlaps with both earlier ones
    assert list(out) == ["firm", "firm#year"]
    assert out["firm"] == entry(n_distinct(panel, ["firm"]), n_distinct(panel, ["firm"]))


@pytest.mark.parametrize("mod", MODULES)
def test_fenames_is_not_used(mod, panel):
    a = mod.calculate_fe_redundancies(panel, ["firm", "firm#year"], ["fe_A", "fe_B"])
    b = mod.calculate_fe_redundancies(panel, ["firm", "firm#year"], object())
    assert a == b


@pytest.mark.parametrize("mod", MODULES)
def test_positional_and_keyword_forms_agree(mod, panel):
    args = (panel, ["firm#year", "year"], None)
    assert mod.calculate_fe_redundancies(*args, "cluster", ["firm"]) == mod.calculate_fe_redundancies(
        *args, clustvars=["firm"], setype="cluster")


def test_both_modules_agree(panel):
    for specs, setype, cv in [(["firm", "year", "firm#year"], None, None),
                              (["state#year", "firm", "year"], "cluster", ["state"]),
                              (["importer#exporter", "exporter", "importer"], "cluster", ["exporter", "year"])]:
        a = _linabsorb.calculate_fe_redundancies(panel, specs, None, setype, cv)
        b = _poisabsorb.calculate_fe_redundancies(panel, specs, None, setype, cv)
        assert a == b and list(a) == list(b)


@pytest.mark.parametrize("mod", MODULES)
def test_missing_values_follow_groupby(mod):
    # rows with a missing key are not a category (pandas group-by drops them)
    df = pd.DataFrame({"a": [1.0, 1.0, 2.0, np.nan], "b": [1, 2, 1, 1]})
    out = mod.calculate_fe_redundancies(df, ["a", "a#b"], None)
    assert out == {"a": entry(2, 0), "a#b": entry(3, 2)}


@pytest.mark.parametrize("mod", MODULES)
@pytest.mark.parametrize("nargs", [0, 1, 2, 6, 7])
def test_wrong_argument_count(mod, panel, nargs):
    args = [panel, ["firm"], None, None, None, None, None][:nargs]
    with pytest.raises(TypeError):
        mod.calculate_fe_redundancies(*args)


@pytest.mark.parametrize("mod", MODULES)
def test_unexpected_keyword(mod, panel):
    with pytest.raises(TypeError):
        mod.calculate_fe_redundancies(panel, ["firm"], None, cluster=["firm"])


@pytest.mark.parametrize("mod", MODULES)
def test_missing_column_raises_key_error(mod, panel):
    with pytest.raises(KeyError):
        mod.calculate_fe_redundancies(panel, ["firm", "nosuchcol"], None)


@pytest.mark.parametrize("mod", MODULES)
def test_empty_specification_list(mod, panel):
    assert mod.calculate_fe_redundancies(panel, [], None) == {}
