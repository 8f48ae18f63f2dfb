"""``feols`` and ``fepois``: formula in, :class:`~korvald.Fit` out.

Parse the formula, build the model's DataFrame, call the estimator once
(capturing its printed summary for ``Fit.summary()``), wrap the result.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from ._capture import captured_stdout
from ._fit import Fit
from ._formula import FixefTerm, _split_top, build_model_frame, check_columns, parse_formula
from .linabsorb import _linabsorb
from .poisabsorb import _poisabsorb

# Arguments the front end derives from the formula and `vcov`.
_RESERVED = ("y", "x", "fixedeffects", "data", "setype", "clustvars", "off", "print_stata_style_summary")
_SUMMARY_RULE = "=" * 80 + "\n"


@dataclass
class _Vcov:
    setype: str
    label: str
    clustvars: list[str] | None = None
    columns: list[str] = field(default_factory=list)  # plain data columns the clusters need
    combined: dict[str, tuple[str, ...]] = field(default_factory=dict)  # interacted clusters


def _cluster_vcov(terms: list[str], data: pd.DataFrame, origin: str) -> _Vcov:
    if not 1 <= len(terms) <= 4:
        raise ValueError(f"{origin}: between 1 and 4 cluster variables are allowed, got {len(terms)}")
    clustvars: list[str] = []
    vc = _Vcov("cluster", "", clustvars=clustvars)
    for term in terms:
        variables = tuple(v.strip() for v in _split_top(term, "^#"))
        missing = [v for v in variables if v not in data.columns]
        if not all(variables) or missing:
            raise ValueError(f"{origin}: cluster '{term}' names column(s) not in data: {missing or [term]}")
        name = "^".join(variables)
        clustvars.append(name)
        if len(variables) == 1:
            vc.columns.append(name)
        else:
            vc.combined[name] = variables
    vc.label = "CRV1: " + "+".join(clustvars)
    return vc


def _parse_vcov(vcov: Any, fixef: tuple[FixefTerm, ...], data: pd.DataFrame) -> _Vcov:
    if vcov is None:
        if fixef:
            return _cluster_vcov([fixef[0].name], data, "default vcov (clustered by the first fixed effect)")
        return _Vcov("homoskedastic", "iid")
    if isinstance(vcov, str):
        key = vcov.strip().lower()
        if key == "iid":
            return _Vcov("homoskedastic", "iid")
        if key in ("hetero", "hc1"):
            return _Vcov("heteroskedastic", "hetero")
        raise ValueError(f"vcov {vcov!r} is not one of 'iid', 'hetero', 'HC1' or a dict such as {{'CRV1': 'firm'}}")
    if isinstance(vcov, dict):
        if list(vcov) != ["CRV1"]:
            raise ValueError(f"vcov dict must have the single key 'CRV1' (e.g. {{'CRV1': 'firm+year'}}), got {list(vcov)}")
        spec = vcov["CRV1"]
        if isinstance(spec, str):
            terms = [t.strip() for t in _split_top(spec, "+")]
        elif isinstance(spec, (list, tuple)) and all(isinstance(t, str) for t in spec):
            terms = [t.strip() for t in spec]
        else:
            raise TypeError(f"vcov['CRV1'] must be a string such as 'firm+year' or a list of names, not {spec!r}")
        return _cluster_vcov(terms, data, f"vcov {vcov!r}")
    raise TypeError(f"vcov must be None, a string or a dict such as {{'CRV1': 'firm'}}, not {type(vcov).__name__}")


def _data_column(name: Any, argument: str, data: pd.DataFrame) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{argument} must be the name of a column of data, not {type(name).__name__}")
    if name not in data.columns:
        raise ValueError(f"{argument} column '{name}' not in data")
    return name


def _run_captured(estimator, call: dict[str, Any], verbose: bool):
    """Run with the summary on but printed into a buffer; return (result, summary text)."""
    failed = True
    try:
        with captured_stdout() as buffer:
            result = estimator(**call, print_stata_style_summary=True)
        failed = False
    finally:
        text = buffer.getvalue()
        cut = -1 if failed else (0 if text.startswith(_SUMMARY_RULE) else text.rfind("\n" + _SUMMARY_RULE) + 1)
        head, table = (text, "") if cut < 0 else (text[:cut], text[cut:])
        # Diagnostics asked for with verb > 0 still reach the caller's stdout.
        if verbose and head:
            sys.stdout.write(head)
    return result, table


def _estimate(method: str, fml: str, data: Any, vcov: Any, offset: Any, weights: Any, weight_type: str,
              options: dict[str, Any]) -> Fit:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame, not {type(data).__name__}")
    taken = [k for k in _RESERVED if k in options]
    if taken:
        raise TypeError(f"{method}() derives {taken} from the formula, vcov and offset; do not pass them")
    parsed = parse_formula(fml)
    check_columns(parsed, data)
    vc = _parse_vcov(vcov, parsed.fixef, data)
    extras = [v for term in parsed.fixef for v in term.variables] + vc.columns
    if offset is not None:
        extras.append(_data_column(offset, "offset", data))
    if weights is not None:
        extras.append(_data_column(weights, "weights", data))
    eta_0 = options.pop("eta_0", None)
    if eta_0 is not None:  # a column of the caller's data, like the offset
        eta_0 = _data_column(eta_0[0] if isinstance(eta_0, (list, tuple)) and len(eta_0) == 1 else eta_0,
                             "eta_0", data)
        extras.append(eta_0)
    model = build_model_frame(parsed, data, list(dict.fromkeys(extras)), vc.combined)

    call: dict[str, Any] = dict(options)
    call.update(y=[model.depvar], x=list(model.regressors),
                fixedeffects=[t.spec for t in parsed.fixef] or None, data=model.frame,
                setype=vc.setype, clustvars=vc.clustvars)
    if offset is not None:
        call["off"] = [offset]
    if eta_0 is not None:
        call["eta_0"] = [eta_0]
    if weights is not None:
        call["weights"] = [weights]
        call["weight_type"] = weight_type
    estimator = _linabsorb.linabsorb if method == "feols" else _poisabsorb.poisabsorb
    verb = options.get("verb", 0)
    verbose = isinstance(verb, (int, float)) and verb > 0
    result, summary = _run_captured(estimator, call, verbose)
    return Fit(method, parsed, model, result, summary, vc.label, estimator, call, offset)


def feols(fml: str, data: pd.DataFrame, vcov: str | dict[str, Any] | None = None, *,
          weights: str | None = None, weight_type: str = "aweight", **options: Any) -> Fit:
    """Linear regression with absorbed fixed effects, from a formula.

    Parameters
    ----------
    fml : str
        ``"y ~ x1 + x2 | fe1 + fe2"``. The part before ``|`` is evaluated by
        formulaic: transformations (``np.log(x)``, ``I(x**2)``), interactions
        (``x1:x2``, ``x1*x2``) and categorical expansion (``C(g)``, with the
        first level as reference). A constant is always included (the
        estimator adds it; with fixed effects they absorb it), so ``0 +`` or
        ``- 1`` is rejected. After ``|``: fixed effects separated by ``+``,
        ``fe1^fe2`` (or ``fe1#fe2``) for an interaction; no ``|`` means no
        fixed effects; ``"y ~ 1 | fe"`` has no regressors.
    data : pandas.DataFrame
        The data; never modified. Rows with a missing value in a formula
        variable are dropped (counted in ``Fit.msg``); the estimator drops
        rows with missing fixed effects or cluster values, singletons and
        rows without within-group variation.
    vcov : str or dict, optional
        ``"iid"``, ``"hetero"`` (or ``"HC1"``), ``{"CRV1": "firm"}`` or
        ``{"CRV1": "firm+year"}`` (one to four cluster variables, ``a^b`` for
        an interaction). Default: clustered by the first fixed effect when
        there is one, otherwise ``"iid"``.
    weights : str, optional
        A column of observation weights, passed to the estimator only when
        given (needs an estimator that accepts weights).
    weight_type : str, default "aweight"
        ``"aweight"``, ``"fweight"`` or ``"pweight"``; used with `weights`.
    **options
        Further keyword arguments of :func:`korvald.linabsorb`: ``eps_MAP``,
        ``minsubiter``, ``maxsubiter``, ``accel``, ``nt``, ``FEgen`` (recover
        the fixed effects during the fit), ``verb`` (print diagnostics).

    Returns
    -------
    Fit
        Labelled estimates, inference, predictions; ``fit.result`` is the
        estimator's result unchanged. Nothing is printed; ``fit.summary()``
        prints the estimator's 80-column table.

    Raises
    ------
    ValueError
        For a malformed formula, a column not in data (naming the term), a
        regressor that is a function of a fixed effect only, or a bad
        `vcov`; the estimator's own errors pass through.
    TypeError
        For arguments of the wrong type or options the front end sets itself
        (``y``, ``x``, ``fixedeffects``, ``setype``, ``clustvars``, ...).

    Examples
    --------
    >>> fit = korvald.feols("wage ~ x1 + x2 | firm + year", data)  # doctest: +SKIP
    >>> fit.coef(), fit.se(), fit.confint()                         # doctest: +SKIP
    """
    return _estimate("feols", fml, data, vcov, None, weights, weight_type, options)


def fepois(fml: str, data: pd.DataFrame, vcov: str | dict[str, Any] | None = None, offset: str | None = None, *,
           weights: str | None = None, weight_type: str = "aweight", **options: Any) -> Fit:
    """Poisson pseudo-maximum likelihood (PPML) with absorbed fixed effects, from a formula.

    Parameters
    ----------
    fml : str
        ``"y ~ x1 + x2 | fe1 + fe2"``; the same syntax as :func:`feols`.
        The dependent variable must be non-negative.
    data : pandas.DataFrame
        The data; never modified. Besides the rows :func:`feols` drops, the
        estimator drops all-zero fixed-effect groups and separated rows.
    vcov : str or dict, optional
        As in :func:`feols`; default clustered by the first fixed effect,
        otherwise ``"iid"``.
    offset : str, optional
        A column entering the linear predictor with coefficient 1 (for
        example the log of exposure).
    weights : str, optional
        A column of observation weights, passed to the estimator only when
        given.
    weight_type : str, default "aweight"
        ``"aweight"``, ``"fweight"`` or ``"pweight"``; used with `weights`.
    **options
        Further keyword arguments of :func:`korvald.poisabsorb`: ``separation``,
        ``sep_tol``, ``sep_maxiter``, ``sep_K_penalty``, ``keepsingletons``,
        ``start``, ``eps_beta``, ``maxiter``, ``eps_MAP``, ``accel``, ``nt``,
        ``standardize_data``, ``FEgen``, ``verb``, ...

    Returns
    -------
    Fit
        As for :func:`feols`; ``predict()`` gives expected counts.

    Raises
    ------
    ValueError
        As for :func:`feols`, and for an `offset` column not in data.
    TypeError
        As for :func:`feols`.
    """
    return _estimate("fepois", fml, data, vcov, offset, weights, weight_type, options)
