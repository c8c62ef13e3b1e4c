"""Cost of one pull through the Python API: callgrind instruction counts, wall-clock time, and a
NumPy implementation of the same decision for comparison.

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
                                        # (needs the `bench` extras: numpy, matplotlib)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

# (name, models, prompts, N1, N2): d = 3 * models + prompts. N1 is past the first pulls, whose
# one-time costs (the allocator settling on where large result texts live) would not cancel.
WORKLOADS = (
    ("W1", 4, 3, 2_000, 12_000),
    ("W2", 32, 32, 20, 220),
    ("W3", 100, 100, 10, 40),
)
PULL_CALL = "engine.pull(query_length=120, exclude_ids=[3])"


def callgrind_instructions(argv: list[str], env: dict[str, str] | None = None) -> int:
    """Instructions executed by the command under valgrind's callgrind (the run's total Ir)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
        )
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in callgrind's output for {argv}")


def instructions_per_call(python: str, setup: str, call: str, n1: int, n2: int) -> float:
    """Instructions per `call` after `setup`, from two runs of the same script with n1 and n2 calls.

    The calls are made from a function, as a service makes them, and counted as timeit counts them
    (a loop at module level would add the global dictionary's stores of its loop variable, and a
    range its int objects). The interpreter runs with a fixed hash seed so that both runs do
    exactly the same set-up.
    """
    script = (f"import itertools, sys\n{setup}\n"
              f"def run(n):\n    for _ in itertools.repeat(None, n):\n        {call}\n"
              "run(int(sys.argv[1]))\n")
    env = dict(os.environ, PYTHONHASHSEED="0")
    counts = [callgrind_instructions([python, "-c", script, str(n)], env) for n in (n1, n2)]
    return (counts[1] - counts[0]) / (n2 - n1)


def engine_setup(models: int, prompts: int) -> str:
    return (
        f"sys.path.insert(0, {str(BENCH_DIR)!r})\n"
        "from bench_python import make_document\n"
        "from korvane._engine import BanditEngine\n"
        f"engine = BanditEngine(make_document({models}, {prompts}), seed=7)\n"
    )


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

    sys.path.insert(0, str(BENCH_DIR))
    from bench_python import make_document
    from refresh_cost import REFRESH_CALL, refresh_count, refresh_setup

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


class NumpyBandit:
    """The same decision written with NumPy: draw, weights, query feature, scores, choice, text.

    Its random numbers come from NumPy's generator, so its choices differ from the engine's; what it
    computes per pull, and the text it returns, are the same.
    """

    def __init__(self, document: str, seed: int) -> None:
        import numpy as np

        self.np = np
        doc = json.loads(document)
        arms = doc["arms"]
        d = doc["dimensions"]
        models: dict[tuple[str, str], int] = {}
        prompts: dict[str, int] = {}
        for arm in sorted(arms, key=lambda a: a["arm_id"]):
            models.setdefault((arm["model_name"], arm["model_provider"]), len(models))
            prompts.setdefault(arm["system_prompt"], len(prompts))
        nm, np_ = len(models), len(prompts)
        self.features = np.zeros((len(arms), d))
        self.query_cells = (np.arange(len(arms)), np.zeros(len(arms), dtype=np.intp))
        bandit_latency = doc.get("avg_latency_last_n")
        for r, arm in enumerate(arms):
            m = models[(arm["model_name"], arm["model_provider"])]
            self.features[r, m] = 1.0
            self.features[r, nm + prompts[arm["system_prompt"]]] = 1.0
            self.query_cells[1][r] = nm + np_ + m
            latency = arm.get("avg_latency_last_n")
            ok = latency is not None and bandit_latency is not None and bandit_latency > 0
            self.features[r, 2 * nm + np_ + m] = latency / bandit_latency if ok else 1.0
        self.theta = np.array(doc["theta"][:d])
        self.cholesky = np.array(doc["cholesky"], dtype=float).reshape(d, d)
        self.scale = {"explore": 1.5, "maximize": 0.5}.get(doc.get("optimization_mode"), 1.0)
        self.ids = np.array([a["arm_id"] for a in arms], dtype=np.int64)
        self.active = np.array([a.get("is_active", True) for a in arms])
        self.rows_of: dict[int, list[int]] = {}
        for r, arm in enumerate(arms):
            self.rows_of.setdefault(arm["arm_id"], []).append(r)
        self.rng = np.random.default_rng(seed)

    def pull(self, query_length: int | None = None, exclude_ids: list[int] | None = None) -> str:
        np = self.np
        z = self.rng.standard_normal(self.theta.shape[0])
        w = self.theta + self.scale * (self.cholesky @ z)
        self.features[self.query_cells] = math.log(max(query_length, 1)) if query_length else 0.0
        scores = self.features @ w
        eligible = self.active.copy()
        for arm_id in exclude_ids or ():
            eligible[self.rows_of.get(arm_id, [])] = False
        masked = np.where(eligible & ~np.isnan(scores), scores, -np.inf)
        chosen = int(np.argmax(masked))
        if not eligible.any() or masked[chosen] == -np.inf:
            raise ValueError("All arms excluded or inactive")
        shown = {str(i): (s if math.isfinite(s) else None)
                 for i, s in zip(self.ids[eligible].tolist(), scores[eligible].tolist())}
        result = {"arm_index": chosen, "arm_id": int(self.ids[chosen]), "scores": shown}
        return json.dumps(result, separators=(",", ":"))


# Arm counts from 12 to 10,000 (models x prompts), for the plot.
SIZES = ((4, 3), (8, 8), (16, 16), (32, 32), (64, 64), (100, 100))


def comparison(markdown: Path | None, plot: Path | None) -> None:
    sys.path.insert(0, str(BENCH_DIR))
    from bench_python import make_document

    from korvane._engine import BanditEngine

    rows = []
    for models, prompts in SIZES:
        arms, doc = models * prompts, make_document(models, prompts)
        number = max(3, 200_000 // (arms * 10))
        engine = BanditEngine(doc, seed=7)
        reference = NumpyBandit(doc, seed=7)
        times = []
        for pull in (engine.pull, reference.pull):
            timer = timeit.Timer(lambda: pull(query_length=120, exclude_ids=[3]))
            times.append(min(timer.repeat(number=number, repeat=7)) / number)
        rows.append((arms, 3 * models + prompts, *times))
        print(f"{arms:>6} arms: engine {times[0] * 1e6:9.2f} us, NumPy {times[1] * 1e6:9.2f} us",
              flush=True)

    if markdown:
        lines = ["| arms | d | engine (µs/pull) | NumPy (µs/pull) | NumPy / engine |",
                 "|---:|---:|---:|---:|---:|"]
        lines += [f"| {a:,} | {d} | {e * 1e6:,.1f} | {n * 1e6:,.1f} | {n / e:,.0f}× |"
                  for a, d, e, n in rows]
        markdown.write_text("\n".join(lines) + "\n")
    if plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
        arms = [r[0] for r in rows]
        ax.loglog(arms, [r[2] * 1e6 for r in rows], "o-", label="korvane engine")
        ax.loglog(arms, [r[3] * 1e6 for r in rows], "s--", label="NumPy, same decision")
        ax.set_xlabel("arms (d = 3·models + prompts, dense lower-triangular factor)")
        ax.set_ylabel("time per pull (µs)")
        ax.set_title("One pull through the Python API, single thread")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(plot)


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
        comparison(args.markdown, args.plot)
        return
    pythons = [sys.executable] + ([args.against] if args.against else [])
    for k, python in enumerate(pythons):
        print(f"[{k}] {python}")
    instruction_table(pythons)
    if args.against:
        wall_clock_ratios(pythons, args.rounds)


if __name__ == "__main__":
    main()
