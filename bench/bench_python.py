"""End-to-end timings of the installed extension: construct, pull, get_arms_json.

Run with the interpreter of a virtual environment that has korvane installed:
    .venv-3.13/bin/python bench/bench_python.py
"""

from __future__ import annotations

import argparse
import json
import random
import timeit

from korvane._engine import BanditEngine


def make_document(models: int, prompts: int, full_precision: bool = False) -> str:
    """A consistent document: every model with every prompt, dense lower-triangular factor.

    With `full_precision` the factor, theta and the latencies are random doubles (fixed seed) in
    shortest round-trip form, mostly 16 or 17 significant digits, as a service's encoder writes them.
    """
    arms = []
    arm_id = 1
    for m in range(models):
        for p in range(prompts):
            arms.append(
                {
                    "arm_id": arm_id,
                    "model_name": f"model-{m}",
                    "model_provider": f"provider-{m % 3}",
                    "system_prompt": f"You are assistant number {p}.",
                    "is_active": arm_id % 7 != 0,
                    "avg_latency_last_n": 100.0 + 13.5 * arm_id,
                }
            )
            arm_id += 1
    d = 3 * models + prompts
    cholesky = [
        [0.0 if j > i else (1.0 if i == j else 0.01 * ((i * 31 + j * 17) % 11 - 5)) for j in range(d)]
        for i in range(d)
    ]
    theta = [0.001 * ((7 * i) % 13 - 6) for i in range(d)]
    if full_precision:
        rng = random.Random(5)
        cholesky = [[0.0 if j > i else rng.uniform(-1, 1) for j in range(d)] for i in range(d)]
        theta = [rng.gauss(0, 1) for _ in range(d)]
        for arm in arms:
            arm["avg_latency_last_n"] = rng.uniform(50, 900)
    return json.dumps(
        {
            "bandit_id": 42,
            "name": "bench",
            "theta": theta,
            "cholesky": cholesky,
            "dimensions": d,
            "optimization_mode": "base",
            "avg_latency_last_n": 250.0,
            "arms": arms,
        }
    )


def best_of(stmt, number: int, repeat: int = 5) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    print(f"{'arms':>7} {'d':>5} {'doc KB':>8} {'construct us':>13} {'pull us':>9} "
          f"{'pull ns/arm':>12} {'arms_json us':>13}")
    for models, prompts, pulls in ((4, 3, 100_000), (32, 32, 5_000), (100, 100, 200)):
        doc = make_document(models, prompts)
        d = 3 * models + prompts
        engine = BanditEngine(doc, seed=7)
        construct = best_of(lambda: BanditEngine(doc, seed=7), max(1, 2000 // (models * prompts)))
        pull = best_of(lambda: engine.pull(query_length=120, exclude_ids=[3]), max(1, pulls // scale))
        arms_json = best_of(engine.get_arms_json, max(1, pulls // scale // 10))
        n = models * prompts
        print(f"{n:>7} {d:>5} {len(doc) / 1024:>8.1f} {construct * 1e6:>13.1f} {pull * 1e6:>9.2f} "
              f"{pull * 1e9 / n:>12.1f} {arms_json * 1e6:>13.1f}")


if __name__ == "__main__":
    main()
