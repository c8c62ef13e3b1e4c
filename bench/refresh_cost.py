"""Cost of update_from_sync through the Python API: callgrind instructions per document byte.

Each size runs under callgrind twice, one engine refreshed `n` and then `3 n` times from the same
text; the difference of the two totals, divided by the 2 n extra refreshes and by the text's size,
is what one refresh costs per byte (start-up and construction cancel out). The wall-clock ratio to
json.loads of the same text is timed side by side, outside valgrind. A size with the suffix "f"
is the same document with its factor, theta and latencies as full-precision random doubles.
Run with the interpreter of a virtual environment that has korvane installed:
    .venv-3.12/bin/python bench/refresh_cost.py [--sizes 12,1024,10000,10000f]
"""

from __future__ import annotations

import argparse
import json
import sys
import timeit

from workloads import (REFRESH_CALL, instructions_per_call, make_document, refresh_count,
                       refresh_setup)

SHAPES = {12: (4, 3), 1024: (32, 32), 10000: (100, 100)}


def wall_ratio(doc: str) -> float:
    from korvane._engine import BanditEngine

    engine = BanditEngine(doc, seed=1)
    number = max(1, 2_000_000 // len(doc))
    refresh = min(timeit.repeat(lambda: engine.update_from_sync(doc), number=number, repeat=7))
    loads = min(timeit.repeat(lambda: json.loads(doc), number=number, repeat=7))
    return refresh / loads


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="12,1024,10000,10000f",
                        help="arm counts, of 12, 1024, 10000; suffix f: full-precision numbers")
    args = parser.parse_args()
    print(f"{'arms':>6} {'d':>4} {'numbers':>7} {'bytes':>9} {'refresh Ir':>12} {'Ir/byte':>8} "
          f"{'time/json.loads':>16}")
    for size_arg in args.sizes.split(","):
        full = size_arg.endswith("f")
        arms = int(size_arg.removesuffix("f"))
        models, prompts = SHAPES[arms]
        doc = make_document(models, prompts, full_precision=full)
        size = len(doc.encode("utf-8"))
        n = refresh_count(size)
        with refresh_setup(doc) as setup:
            per_refresh = instructions_per_call(sys.executable, setup, REFRESH_CALL, n, 3 * n)
        print(f"{arms:>6} {3 * models + prompts:>4} {'full' if full else 'short':>7} {size:>9} "
              f"{per_refresh:>12.0f} "
              f"{per_refresh / size:>8.2f} {wall_ratio(doc):>16.3f}", flush=True)


if __name__ == "__main__":
    main()
