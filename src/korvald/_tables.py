"""``etable``: several fits side by side as a DataFrame, Markdown, LaTeX or HTML."""

from __future__ import annotations

import html
from collections.abc import Sequence

import pandas as pd

from ._fit import Fit

_TEX_ESCAPES = {"\\": r"\textbackslash{}", "&": r"\&", "%": r"\%", "$": r"\$", "#": r"\#", "_": r"\_",
                "{": r"\{", "}": r"\}", "~": r"\textasciitilde{}", "^": r"\textasciicircum{}",
                "<": r"$<$", ">": r"$>$"}

Section = list[tuple[str, list[str]]]


def _stars(p: float, signif: Sequence[float]) -> str:
    return "*" * sum(p < level for level in signif)


def _number(value: float | None, digits: int) -> str:
    return "" if value is None else f"{value:.{digits}f}"


def _sections(fits: Sequence[Fit], digits: int, signif: Sequence[float]) -> list[Section]:
    coefs = list(dict.fromkeys(name for fit in fits for name in fit.coef().index))
    fixef = list(dict.fromkeys(term for fit in fits for term in fit.fixef_terms))
    estimates: Section = []
    for name in coefs:
        est, err = [], []
        for fit in fits:
            b, s, p = fit.coef(), fit.se(), fit.pvalue()
            has = name in b.index
            est.append(f"{b[name]:.{digits}f}{_stars(p[name], signif)}" if has else "")
            err.append(f"({s[name]:.{digits}f})" if has else "")
        estimates += [(name, est), ("", err)]
    stats_rows: Section = [("Observations", [f"{fit.nobs:,}" for fit in fits])]
    if any(fit.method == "feols" for fit in fits):
        stats_rows.append(("R2", [_number(fit.r2, digits) for fit in fits]))
    if any(fit.method == "fepois" for fit in fits):
        stats_rows.append(("Pseudo R2", [_number(fit.pseudo_r2, digits) for fit in fits]))
    stats_rows.append(("S.E. type", [fit.vcov_type for fit in fits]))
    sections = [[("Dep. var.", [fit.depvar for fit in fits])], estimates]
    if fixef:
        sections.append([(term, ["Yes" if term in fit.fixef_terms else "No" for fit in fits]) for term in fixef])
    sections.append(stats_rows)
    return [s for s in sections if s]


def _note(signif: Sequence[float]) -> str:
    ordered = sorted(signif)
    levels = ", ".join(f"{'*' * (len(ordered) - i)} p<{level:g}" for i, level in enumerate(ordered))
    return f"Standard errors in parentheses. Significance: {levels}"


def _markdown(header: list[str], sections: list[Section], note: str) -> str:
    rows = [("", header)] + [row for section in sections for row in section]
    widths = [max(len(label) for label, _ in rows)]
    widths += [max(len(cells[j]) for _, cells in rows) for j in range(len(header))]

    def line(label: str, cells: list[str]) -> str:
        return "| " + " | ".join([label.ljust(widths[0])] + [c.rjust(w) for c, w in zip(cells, widths[1:])]) + " |"

    rule = "|:" + "-" * (widths[0] + 1) + "|" + "|".join("-" * (w + 1) + ":" for w in widths[1:]) + "|"
    body = [line(label, cells) for section in sections for label, cells in section]
    return "\n".join([line("", header), rule] + body + ["", note]) + "\n"


def _tex_escape(text: str) -> str:
    return "".join(_TEX_ESCAPES.get(ch, ch) for ch in text)


def _tex_cell(text: str) -> str:
    core = text.rstrip("*")
    stars = len(text) - len(core)
    return _tex_escape(core) + (f"$^{{{'*' * stars}}}$" if stars else "")


def _latex(header: list[str], sections: list[Section], note: str) -> str:
    n = len(header)
    lines = [r"\begin{tabular}{l" + "c" * n + "}", r"\toprule",
             " & ".join([""] + [_tex_escape(h) for h in header]) + r" \\"]
    for section in sections:
        lines.append(r"\midrule")
        lines += [" & ".join([_tex_escape(label)] + [_tex_cell(c) for c in cells]) + r" \\" for label, cells in section]
    lines += [r"\bottomrule", rf"\multicolumn{{{n + 1}}}{{l}}{{\footnotesize {_tex_escape(note)}}} \\",
              r"\end{tabular}"]
    return "\n".join(lines) + "\n"


def _html(header: list[str], sections: list[Section], note: str) -> str:
    esc = html.escape
    out = ['<table class="korvald-etable">', "<thead>",
           "<tr><th></th>" + "".join(f"<th>{esc(h)}</th>" for h in header) + "</tr>", "</thead>"]
    for section in sections:
        out.append("<tbody>")
        out += ["<tr><td>" + esc(label) + "</td>" + "".join(f'<td style="text-align:right">{esc(c)}</td>'
                                                             for c in cells) + "</tr>" for label, cells in section]
        out.append("</tbody>")
    out += [f'<tfoot><tr><td colspan="{len(header) + 1}">{esc(note)}</td></tr></tfoot>', "</table>"]
    return "\n".join(out) + "\n"


def etable(fits: Fit | Sequence[Fit], type: str = "df", *, digits: int = 3,
           signif: Sequence[float] = (0.01, 0.05, 0.10), model_names: Sequence[str] | None = None
           ) -> pd.DataFrame | str:
    """Models side by side: coefficients, fixed effects, fit statistics.

    Each coefficient row shows the estimate with significance stars and,
    below it, the standard error in parentheses (blank where a model lacks or
    omitted the regressor); then one "Yes"/"No" row per fixed effect, the
    number of observations, R2 (OLS) and/or pseudo R2 (PPML) and the
    standard-error type.

    Parameters
    ----------
    fits : Fit or sequence of Fit
        The models, one column each.
    type : {"df", "md", "tex", "html"}, default "df"
        A DataFrame (the note on stars in ``df.attrs["note"]``), or the
        table as Markdown, LaTeX (booktabs rules) or HTML text.
    digits : int, default 3
        Decimals of estimates, standard errors and R2.
    signif : sequence of float, default (0.01, 0.05, 0.10)
        p-value thresholds for ***, ** and * (one star per threshold
        the p-value is below).
    model_names : sequence of str, optional
        Column headers; default "(1)", "(2)", ...

    Returns
    -------
    pandas.DataFrame or str

    Raises
    ------
    TypeError
        When `fits` holds something other than :class:`Fit`.
    ValueError
        For an unknown `type`, an empty `fits` or a `model_names` of the
        wrong length.
    """
    if isinstance(fits, Fit):
        fits = [fits]
    fits = list(fits)
    if not fits:
        raise ValueError("etable needs at least one fit")
    bad = [f.__class__.__name__ for f in fits if not isinstance(f, Fit)]
    if bad:
        raise TypeError(f"etable takes results of feols/fepois (Fit), got {bad}")
    if type not in ("df", "md", "tex", "html"):
        raise ValueError(f"type must be 'df', 'md', 'tex' or 'html', not {type!r}")
    header = list(model_names) if model_names is not None else [f"({i + 1})" for i in range(len(fits))]
    if len(header) != len(fits):
        raise ValueError(f"model_names has {len(header)} names for {len(fits)} fits")
    sections = _sections(fits, digits, signif)
    note = _note(signif)
    if type == "md":
        return _markdown(header, sections, note)
    if type == "tex":
        return _latex(header, sections, note)
    if type == "html":
        return _html(header, sections, note)
    rows = [row for section in sections for row in section]
    table = pd.DataFrame([cells for _, cells in rows], index=[label for label, _ in rows], columns=header)
    table.attrs["note"] = note
    return table
