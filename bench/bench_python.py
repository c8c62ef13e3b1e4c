"""End-to-end timings of the installed extension: construct, pull, get_arms_json.

Run with the interpreter of a virtual environment that has korvane installed:
    .venv-3.13/bin/python bench/bench_python.py
"""

from __future__ import annotations

import argparse
import timeit

from korvane._engine import BanditEngine
from workloads import make_document


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
