"""Demo estimation on generated data: ``python -m korvald.demo [N]``.

Builds a worker-firm-year style panel with two crossed fixed effects, then
fits a linear model with firm-clustered standard errors and a Poisson model
of a count outcome, printing both summaries.
"""

import sys

import numpy as np
import pandas as pd

from korvald import linabsorb, poisabsorb


def make_panel(n_obs: int, seed: int = 12345) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    n_firms, n_years = max(n_obs // 50, 2), 10
    firm = rng.integers(0, n_firms, n_obs)
    year = rng.integers(2010, 2010 + n_years, n_obs)
    firm_effect = rng.normal(0.0, 1.0, n_firms)
    year_effect = np.linspace(-0.3, 0.3, n_years)
    x1 = rng.normal(size=n_obs) + 0.5 * firm_effect[firm]
    x2 = rng.normal(size=n_obs)
    index = firm_effect[firm] + year_effect[year - 2010]
    wage = 1.0 + 0.5 * x1 - 0.25 * x2 + index + rng.normal(size=n_obs)
    visits = rng.poisson(np.exp(0.2 + 0.3 * x1 - 0.2 * x2 + 0.5 * index))
    return pd.DataFrame({"wage": wage, "visits": visits, "x1": x1, "x2": x2, "firm": firm, "year": year})


def main(argv: list[str]) -> None:
    n_obs = int(argv[1]) if len(argv) > 1 else 100_000
    data = make_panel(n_obs)
    print(f"Generated {n_obs:,} observations: wage and visits on x1, x2 with firm and year effects\n")
    linear = linabsorb(["wage"], ["x1", "x2"], ["firm", "year"], data, setype="cluster", clustvars=["firm"])
    print(linear.formula_Stata, "\n")
    poisson = poisabsorb(["visits"], ["x1", "x2"], ["firm", "year"], data, setype="cluster", clustvars=["firm"])
    print(poisson.formula_Stata)


if __name__ == "__main__":
    main(sys.argv)
