"""grpkit: group pointers, powerset, colsum."""

import itertools

import numpy as np
import pytest

from korvald.backend import demeankit, grpkit


def test_module_bindings():
    assert grpkit.itertools is itertools
    assert grpkit.np is np
    assert grpkit.panelsetup is demeankit.panelsetup


@pytest.mark.parametrize("s, expected", [
    ([], []),
    (["a"], [["a"]]),
    (["P", "Q", "R"], [["P"], ["Q"], ["R"], ["P", "Q"], ["P", "R"], ["Q", "R"], ["P", "Q", "R"]]),
    (("x", 2), [["x"], [2], ["x", 2]]),
])
def test_powerset(s, expected):
    got = grpkit.powerset(s)
    assert got == expected
    assert type(got) is list and all(type(sub) is list for sub in got)


def test_powerset_of_four_names():
    names = ["c1", "c2", "c3", "c4"]
    got = grpkit.powerset(names)
    assert len(got) == 15
    assert [len(sub) for sub in got] == [1] * 4 + [2] * 6 + [3] * 4 + [4]
    assert got == [list(c) for r in range(1, 5) for c in itertools.combinations(names, r)]
    # New lists: changing one leaves the input and the other subsets alone.
    got[0].append("zz")
    assert names == ["c1", "c2", "c3", "c4"] and got[4] == ["c1", "c2"]


def reference_pointer_ranges(column):
    G = column.max() + 1
    s = np.sort(column)
    return np.column_stack([np.searchsorted(s, np.arange(G)), np.searchsorted(s, np.arange(G), side="right") - 1])


def test_make_pointer_columns_in_order():
    rng = np.random.default_rng(0)
    x = np.column_stack([rng.integers(0, 7, 200), rng.integers(0, 40, 200), np.zeros(200, np.int64)])
    x[:3, 1] = 45  # codes 40..44 never occur: empty groups before the last one
    pm = grpkit.make_pointer(x)
    assert pm.shape == (2, 3) and pm.dtype == object
    for j in range(3):
        order, panel = pm[0, j], pm[1, j]
        assert np.array_equal(order, np.argsort(x[:, j]))
        assert panel.dtype == np.int64 and panel.shape == (x[:, j].max() + 1, 2)
        assert np.array_equal(panel, reference_pointer_ranges(x[:, j]))
    assert pm[1, 1][41].tolist() == [197, 196]  # an empty group sits where it would start


def test_make_pointer_of_zeros():
    pm = grpkit.make_pointer(np.zeros((25, 1), np.int64))
    assert pm.shape == (2, 1)
    assert pm[0, 0].shape == (25,) and sorted(pm[0, 0]) == list(range(25))
    assert pm[1, 0].tolist() == [[0, 24]]


def test_make_pointer_errors_come_from_numpy():
    with pytest.raises(ValueError, match="zero-size array"):
        grpkit.make_pointer(np.zeros((0, 1), np.int64))
    with pytest.raises(TypeError):
        grpkit.make_pointer()
    with pytest.raises(TypeError):
        grpkit.make_pointer(np.zeros((3, 1), np.int64), 1)


def test_make_pointer_feeds_demeaning():
    # Group means removed through the pointers equal a pandas-free NumPy demeaning.
    rng = np.random.default_rng(1)
    g = rng.integers(0, 9, 100)
    z = rng.normal(size=100)
    pm = grpkit.make_pointer(g[:, None])
    means = np.bincount(g, weights=z) / np.bincount(g)
    got = demeankit.MAP_NH_noaccel(z, None, pm, 1e-10, 0, 10, 0, 1)
    assert np.allclose(got, z - means[g], atol=1e-13)


@pytest.mark.parametrize("x, y", [
    (np.arange(12.0).reshape(4, 3), np.array([[1.0], [2.0], [3.0], [4.0]])),
    (np.arange(5.0), np.linspace(1, 2, 5)),
])
def test_colsum(x, y):
    w = np.array([0.5, 2.0, 1.5, 3.0, 1.0])[: len(x)].reshape(y.shape)
    assert np.array_equal(grpkit.colsum(x, y, None), (x * y).sum(axis=0))
    assert np.array_equal(grpkit.colsum(x, y, np.ones_like(w)), grpkit.colsum(x, y, None))
    assert np.allclose(grpkit.colsum(x, y, w), (x * w * y).sum(axis=0))
    assert grpkit.colsum(x=x, y=y, w=None).shape == (x * y).sum(axis=0).shape


def test_colsum_needs_three_arguments():
    with pytest.raises(TypeError):
        grpkit.colsum(np.ones(3), np.ones(3))
    with pytest.raises(TypeError):
        grpkit.colsum(np.ones(3), np.ones(3), None, z=1)
