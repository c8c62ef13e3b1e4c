"""Cost of one pull through the Python API: callgrind instruction counts, and wall-clock ratios
between two installed builds.

Instruction counts do not depend on the machine's load, so they are the figure to compare on a
shared machine. Each workload is run twice under valgrind's callgrind, once with N1 and once with
N2 pulls of the same engine; start-up and construction are identical in both runs and cancel out of
(count(N2) - count(N1)) / (N2 - N1). On 32-bit ARM the same runs go through qemu-arm with a
counting plugin (qemu_cost.py), on Debian trixie's armhf CPython 3.13.

Run it with the interpreter of a virtual environment that has korvane installed:
    .venv-3.12/bin/python bench/cost.py                        # instruction table
    .venv-3.12/bin/python bench/cost.py --arm MODULE --refresh [--profile]
                                        # x86_64 and armv7l side by side, pulls and refreshes;
                                        # MODULE: the cp313 armv7l wheel, or a directory holding
                                        # the korvane package (scripts/arm-module.sh makes one,
                                        # unstripped, whose functions --profile can name)
    .venv-3.12/bin/python bench/cost.py --against OTHER/bin/python
                                        # the same table for another installed build, side by side,
                                        # with wall-clock ratios measured in the same run
    .venv-3.12/bin/python bench/cost.py --plot bench/pull-time.png --markdown bench/pull-time.md
                                        # time per pull against arm count, engine and NumPy
                                        # (needs the `bench` extras; peers.py, which does the
                                        # timing, adds MABWiser's LinTS)
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from workloads import (BENCH_DIR, PULL_CALL, REFRESH_CALL, WORKLOADS, engine_setup,
                       instructions_per_call, make_document, refresh_count, refresh_setup)


def pull_seconds(python: str, models: int, prompts: int, number: int, repeat: int = 5) -> float:
    """Best wall-clock time of one pull, in a fresh process of `python`."""
    script = (
        "import sys, timeit\n" + engine_setup(models, prompts)
        + f"print(min(timeit.repeat(lambda: {PULL_CALL}, number={number}, repeat={repeat})) / {number})"
    )
    done = subprocess.run([python, "-c", script], check=True, capture_output=True, text=True)
    return float(done.stdout)


def arm_table(python: str, arm: str, root: Path, profile: bool, refresh: bool) -> None:
    """Pulls (and refreshes) on x86_64 under callgrind and on armv7l under qemu-arm."""
    import qemu_cost

    qemu_cost.check_tools(root)
    with tempfile.TemporaryDirectory() as scratch:
        package = qemu_cost.package_dir(arm, Path(scratch))
        print(f"armv7l: {package} on {root}")
        print(f"{'':4} {'arms':>6} {'d':>4} {'x86_64/pull':>12} {'/arm':>7} {'armv7l/pull':>12} "
              f"{'/arm':>7}")
        for name, models, prompts, n1, n2 in WORKLOADS:
            arms = models * prompts
            setup = engine_setup(models, prompts)
            x86 = instructions_per_call(python, setup, PULL_CALL, n1, n2)
            armv7, rows = qemu_cost.instructions_per_call(root, package, setup, PULL_CALL, n1, n2,
                                                          profile)
            print(f"{name:4} {arms:>6} {3 * models + prompts:>4} {x86:>12,.0f} {x86 / arms:>7.1f} "
                  f"{armv7:>12,.0f} {armv7 / arms:>7.1f}", flush=True)
            if profile:
                qemu_cost.print_profile(rows, armv7)
                helpers = sum(r[2] for r in rows if qemu_cost.is_libgcc_helper(r[0], r[1]))
                print(f"      libgcc arithmetic helpers: {helpers:,.0f} instructions per pull",
                      flush=True)
        if refresh:
            refresh_table(python, package, root, profile)


def refresh_table(python: str, package: Path, root: Path, profile: bool) -> None:
    """update_from_sync per byte of the 10,000-arm documents, short and full-precision numbers."""
    import qemu_cost

    print(f"\n{'refresh':>10} {'bytes':>9} {'x86_64/byte':>12} {'armv7l/byte':>12}")
    for full in (False, True):
        doc = make_document(100, 100, full_precision=full)
        size = len(doc.encode("utf-8"))
        n = refresh_count(size)
        with refresh_setup(doc) as setup:
            x86 = instructions_per_call(python, setup, REFRESH_CALL, n, 3 * n)
            armv7, rows = qemu_cost.instructions_per_call(root, package, setup, REFRESH_CALL, n,
                                                          3 * n, profile)
        label = "10000f" if full else "10000"
        print(f"{label:>10} {size:>9} {x86 / size:>12.2f} {armv7 / size:>12.2f}", flush=True)
        if profile:
            qemu_cost.print_profile(rows, armv7, 15)


def instruction_table(pythons: list[str]) -> None:
    header = f"{'':4} {'arms':>6} {'d':>4}"
    for k in range(len(pythons)):
        header += f" {f'instr/pull [{k}]':>16} {f'instr/arm [{k}]':>15}"
    if len(pythons) > 1:
        header += f" {'instr [0]/[1]':>14}"
    print(header)
    for name, models, prompts, n1, n2 in WORKLOADS:
        arms = models * prompts
        row = f"{name:4} {arms:>6} {3 * models + prompts:>4}"
        costs = []
        for python in pythons:
            cost = instructions_per_call(python, engine_setup(models, prompts), PULL_CALL, n1, n2)
            costs.append(cost)
            row += f" {cost:>16,.0f} {cost / arms:>15,.1f}"
        if len(pythons) > 1:
            row += f" {costs[0] / costs[1]:>14.3f}"
        print(row, flush=True)


def wall_clock_ratios(pythons: list[str], rounds: int) -> None:
    """Both builds in alternation, best of all rounds, so that a busy moment hurts both alike."""
    print(f"\n{'':4} {'us/pull [0]':>12} {'us/pull [1]':>12} {'time [0]/[1]':>13}")
    for name, models, prompts, n1, n2 in WORKLOADS:
        number = max(1, 200 * n2 // 1000)
        best = [math.inf, math.inf]
        for _ in range(rounds):
            for k, python in enumerate(pythons):
                best[k] = min(best[k], pull_seconds(python, models, prompts, number))
        print(f"{name:4} {best[0] * 1e6:>12.2f} {best[1] * 1e6:>12.2f} {best[0] / best[1]:>13.3f}",
              flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", metavar="PYTHON",
                        help="another interpreter with korvane installed, measured side by side")
    parser.add_argument("--rounds", type=int, default=5, help="wall-clock rounds per build")
    parser.add_argument("--markdown", type=Path, help="write the engine/NumPy table here")
    parser.add_argument("--plot", type=Path, help="write the engine/NumPy plot (PNG) here")
    parser.add_argument("--arm", metavar="MODULE",
                        help="also count on armv7l: the cp313 armv7l wheel or a package directory")
    parser.add_argument("--arm-root", type=Path, default=BENCH_DIR.parent / "build/roots/trixie-armhf",
                        help="Debian trixie armhf root with python3.13 (default: %(default)s)")
    parser.add_argument("--refresh", action="store_true",
                        help="with --arm: refreshes from the 10,000-arm documents too")
    parser.add_argument("--profile", action="store_true",
                        help="with --arm: where the armv7l instructions go, per function")
    args = parser.parse_args()

    if args.arm:
        arm_table(sys.executable, args.arm, args.arm_root, args.profile, args.refresh)
        return

    if args.markdown or args.plot:
        # Matrix products on one thread, as the engine runs.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
        from peers import engine_and_numpy

        engine_and_numpy(args.markdown, args.plot)
        return
    pythons = [sys.executable] + ([args.against] if args.against else [])
    for k, python in enumerate(pythons):
        print(f"[{k}] {python}")
    instruction_table(pythons)
    if args.against:
        wall_clock_ratios(pythons, args.rounds)


if __name__ == "__main__":
    main()
