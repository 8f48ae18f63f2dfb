"""korvald next to pyfixest (the `bench` extra) on the same generated data:
wall time of each call (pyfixest timed on its second call, after its JIT
compilation), the largest coefficient difference and the standard errors.

    python bench/bench_vs_pyfixest.py [N]        (default: 1000000)
"""

import contextlib
import io
import sys
import time
import warnings

import numpy as np

from _harness import make_two_way_panel


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


def main(n_obs: int) -> None:
    import pyfixest as pf

    from korvald import linabsorb, poisabsorb

    data = make_two_way_panel(n_obs)
    regressors = ["x1", "x2", "x3"]
    warnings.simplefilter("ignore")
    cases = [
        ("linear", lambda: pf.feols("y ~ x1 + x2 + x3 | fe1 + fe2", data=data, vcov={"CRV1": "fe1"}),
         lambda: linabsorb(["y"], regressors, ["fe1", "fe2"], data, setype="cluster", clustvars=["fe1"])),
        ("poisson", lambda: pf.fepois("count ~ x1 + x2 + x3 | fe1 + fe2", data=data, vcov={"CRV1": "fe1"}),
         lambda: poisabsorb(["count"], regressors, ["fe1", "fe2"], data, setype="cluster", clustvars=["fe1"])),
    ]
    print(f"N = {n_obs:,}; fixed effects of 100,000 and 1,000 groups; 3 regressors; clustered on fe1")
    for name, peer, ours in cases:
        peer()  # compile pyfixest's kernels outside the timing
        peer_fit, peer_s = timed(peer)
        with contextlib.redirect_stdout(io.StringIO()):
            our_fit, our_s = timed(ours)
        diff = np.max(np.abs(peer_fit.coef().to_numpy() - our_fit.params.to_numpy()))
        print(f"{name:8s} korvald {our_s:6.2f} s   pyfixest {peer_s:6.2f} s   max |coef diff| {diff:.1e}")
        print(f"{'':8s} se korvald  {np.round(our_fit.bse.to_numpy(), 7)}")
        print(f"{'':8s} se pyfixest {np.round(peer_fit.se().to_numpy(), 7)}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
