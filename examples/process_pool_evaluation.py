"""Embarrassingly parallel evaluation over worker processes with concurrent.futures.

pwpoly's objects cannot be pickled, so a process pool is sent what defines
an expansion, (degree, n_t, T, coefficients), and every worker builds its
own LegendreBasisEvaluator from it, once per process (the pool's
initializer). Each task then evaluates one chunk of times. The results are
identical to the last bit to one evaluate_many call in this process.

Within one process this is never needed: evaluate_many already releases the
interpreter lock and uses every core. Worker processes pay off when the
evaluation is one step of a larger per-chunk computation in Python, or to
spread over the processes of a cluster scheduler.

    python examples/process_pool_evaluation.py [--fast]
"""

from __future__ import annotations

import argparse
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import numpy.typing as npt

import pwpoly

Vector = npt.NDArray[np.float64]

_evaluator: pwpoly.LegendreBasisEvaluator | None = None


def _build(degree: int, n_t: int, T: float, coefficients: list[float]) -> None:
    global _evaluator
    _evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    _evaluator.set_dofs(coefficients)


def _evaluate(times: Vector) -> list[float]:
    assert _evaluator is not None, "the pool's initializer builds the evaluator"
    return _evaluator.evaluate_many(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--fast", action="store_true", help="fewer times (the test suite's run)")
    args = parser.parse_args()
    degree, n_t, T = 3, 1000, 10.0
    count = 20_000 if args.fast else 2_000_000

    rng = np.random.default_rng(1)
    coefficients = rng.normal(size=n_t * (degree + 1)).tolist()
    times = rng.uniform(0.0, T, count)
    chunks = np.array_split(times, 8)

    with ProcessPoolExecutor(max_workers=2, initializer=_build, initargs=(degree, n_t, T, coefficients)) as pool:
        parts = list(pool.map(_evaluate, chunks))
    values = [v for part in parts for v in part]

    here = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    here.set_dofs(coefficients)
    reference = here.evaluate_many(times)
    print(f"{count:,} times in {len(chunks)} chunks over 2 worker processes")
    assert values == reference, "the workers' values differ from this process's"
    print("identical to the last bit to one evaluate_many call in this process")


if __name__ == "__main__":
    main()
