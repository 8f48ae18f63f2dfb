"""Formula handling of the front end: ``"y ~ x1 + x2 | fe1 + fe2^fe3"``.

The ``~`` and ``|`` split and the fixed-effect list are parsed here; the two
sides of ``~`` go to formulaic, which evaluates transformations, interactions
and categorical expansion. The result is a fresh DataFrame with plain column
names that the estimators take as they take any caller's data.
"""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

_OPEN, _CLOSE = "([{", ")]}"
# formulaic marks the offending token with terminal colours and bracket glyphs.
_MARKUP = re.compile("\x1b\\[[0-9;]*m|[\u29db\u29da]")


@dataclass(frozen=True)
class FixefTerm:
    """One fixed-effect term: a column, or columns interacted with ``^`` or ``#``."""

    name: str
    variables: tuple[str, ...]

    @property
    def spec(self) -> str:
        """The estimators' specification string ("a#b" for an interaction)."""
        return "#".join(self.variables)


@dataclass(frozen=True)
class ParsedFormula:
    text: str
    lhs: str
    rhs: str
    fixef: tuple[FixefTerm, ...]


@dataclass
class ModelFrame:
    frame: pd.DataFrame  # unique index: the caller's labels, or positions
    depvar: str
    regressors: list[str]
    spec: Any  # formulaic ModelSpec of the regressors, for predict()
    labels: pd.Index | None  # the caller's labels when `frame` is indexed by position
    n_dropped: int  # rows formulaic dropped for missing values


def _split_top(text: str, seps: str) -> list[str]:
    """Split at any character of `seps` outside brackets, quotes and backticks."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"`":
            quote = ch
        elif ch in _OPEN:
            depth += 1
        elif ch in _CLOSE:
            depth -= 1
        elif ch in seps and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def _column_name(token: str) -> str:
    token = token.strip()
    if len(token) >= 2 and token[0] == token[-1] == "`":
        return token[1:-1]
    return token


def parse_formula(fml: str) -> ParsedFormula:
    """Split a formula into its dependent side, regressor side and fixed-effect terms."""
    if not isinstance(fml, str):
        raise TypeError(f"fml must be a formula string such as 'y ~ x1 + x2 | fe1 + fe2', not {type(fml).__name__}")
    sides = _split_top(fml, "~")
    if len(sides) != 2 or not sides[0].strip() or not sides[1].strip():
        raise ValueError(f"formula '{fml}' must have the form 'y ~ x1 + x2 | fe1 + fe2' (one '~' with both sides)")
    lhs, right = sides[0].strip(), sides[1]
    parts = _split_top(right, "|")
    if len(parts) > 2:
        raise ValueError(f"formula '{fml}' has {len(parts) - 1} '|': only one, before the fixed effects, is allowed")
    rhs = parts[0].strip()
    if not rhs:
        raise ValueError(f"formula '{fml}' has no regressors before '|': write 'y ~ 1 | fe' for none")
    fixef: list[FixefTerm] = []
    if len(parts) == 2:
        fe_part = parts[1].strip()
        if not fe_part:
            raise ValueError(f"formula '{fml}' has an empty fixed-effect part after '|'")
        for term in _split_top(fe_part, "+"):
            names = tuple(_column_name(v) for v in _split_top(term, "^#"))
            if not all(names):
                raise ValueError(f"fixed-effect part '{fe_part}' of '{fml}' is malformed at '{term.strip()}'")
            fixef.append(FixefTerm("^".join(names), names))
        # A repeated term adds nothing; the estimators would only print a note about it.
        unique: dict[tuple[str, ...], FixefTerm] = {}
        for fe in fixef:
            unique.setdefault(fe.variables, fe)
        fixef = list(unique.values())
    return ParsedFormula(fml, lhs, rhs, tuple(fixef))


def check_columns(parsed: ParsedFormula, data: pd.DataFrame) -> None:
    for term in parsed.fixef:
        missing = [v for v in term.variables if v not in data.columns]
        if missing:
            raise ValueError(f"fixed effect '{term.name}' of '{parsed.text}': column(s) not in data: {missing}")


def _materialize(parsed: ParsedFormula, src: pd.DataFrame):
    import formulaic
    from formulaic.errors import FormulaicError

    try:
        return formulaic.model_matrix(f"{parsed.lhs} ~ {parsed.rhs}", src, na_action="drop")
    except FormulaicError as err:
        raise ValueError(f"formula '{parsed.text}': {_MARKUP.sub('', str(err)).strip()}") from err


def _absorbed_term(parsed: ParsedFormula, spec) -> tuple[str, FixefTerm] | None:
    """A regressor term that is a function of one fixed effect's variables only."""
    data_vars = set(spec.variables_by_source.get("data", ()))
    for term, used in spec.term_variables.items():
        used = set(used) & data_vars
        for fe in parsed.fixef:
            if used and used <= set(fe.variables):
                return str(term), fe
    return None


def build_model_frame(
    parsed: ParsedFormula, data: pd.DataFrame, extras: list[str], combined: dict[str, tuple[str, ...]]
) -> ModelFrame:
    """Materialize the model into a new DataFrame.

    `extras` are data columns copied unchanged (fixed-effect and cluster
    variables, offset, weights); `combined` maps a new column name to the
    columns whose value combinations it numbers (clusters by an interaction).
    Rows with a missing value in a formula variable are dropped (and counted);
    missing values in the other columns are left for the estimator to drop.
    """
    src = data.copy(deep=False)
    src.index = pd.RangeIndex(len(data))
    mm = _materialize(parsed, src)
    lhs, rhs = mm.lhs, mm.rhs
    if lhs.shape[1] != 1:
        raise ValueError(f"the left-hand side '{parsed.lhs}' of '{parsed.text}' must give one column, "
                         f"got {list(lhs.columns)}")
    spec = rhs.model_spec
    if "1" not in [str(t) for t in spec.terms]:
        raise ValueError(f"formula '{parsed.text}' removes the constant ('0' or '-1'): the estimators always "
                         "include one (absorbed by the fixed effects); drop the '0'/'-1'")
    absorbed = _absorbed_term(parsed, spec)
    if absorbed is not None:
        term, fe = absorbed
        raise ValueError(f"regressor '{term}' of '{parsed.text}' is a function of the fixed effect '{fe.name}' "
                         "only and would be absorbed by it; remove one of them")
    depvar = str(lhs.columns[0])
    X = rhs.drop(columns="Intercept")
    regressors = [str(c) for c in X.columns]
    if depvar in regressors:
        raise ValueError(f"'{depvar}' of '{parsed.text}' is both the dependent variable and a regressor")

    pos = rhs.index.to_numpy()
    unique = data.index.is_unique
    index = data.index[pos] if unique else pd.Index(pos)
    columns: dict[str, object] = {depvar: lhs.iloc[:, 0].to_numpy(dtype=np.float64)}
    for name in regressors:
        columns[name] = X[name].to_numpy(dtype=np.float64)
    for name in extras:
        if name in columns:
            if not _same_values(columns[name], src[name].iloc[pos].to_numpy()):
                raise ValueError(f"column '{name}' of '{parsed.text}' is also the name of a different "
                                 "regressor column; rename it")
            continue
        columns[name] = src[name].iloc[pos].array
    for name, variables in combined.items():
        codes = src.groupby(list(variables), sort=True, dropna=True).ngroup()
        columns[name] = codes.iloc[pos].to_numpy(dtype=np.float64)
    frame = pd.DataFrame(columns, index=index)
    return ModelFrame(frame, depvar, regressors, spec, None if unique else data.index, len(data) - len(pos))


def _same_values(a, b) -> bool:
    try:
        return bool(np.array_equal(np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64), equal_nan=True))
    except (TypeError, ValueError):
        return False


def regressor_matrix(model: ModelFrame, newdata: pd.DataFrame, regressors: list[str]) -> pd.DataFrame:
    """The regressor columns for `newdata` (by position), NaN rows where a formula variable is missing."""
    from formulaic.errors import DataMismatchWarning, FormulaicError

    src = newdata.copy(deep=False)
    src.index = pd.RangeIndex(len(newdata))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataMismatchWarning)
        try:
            X = model.spec.get_model_matrix(src, na_action="drop")
        except DataMismatchWarning as err:
            raise ValueError(f"newdata: {err} (a categorical regressor level not in the estimation sample "
                             "has no coefficient)") from err
        except FormulaicError as err:
            raise ValueError(f"newdata: {err}") from err
    return X[regressors].astype(np.float64).reindex(pd.RangeIndex(len(newdata)))
