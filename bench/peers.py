"""Wall-clock time of one decision through korvane, the same decision written with NumPy, and
MABWiser's LinTS, side by side in one run, at the same numbers of arms and context width.

What each computes per decision, for A arms of M models and P prompts, d = 3 M + P:
  engine    d standard normal deviates; the sampled weights theta + s L z over the factor's
            non-zero entries (d (d + 1) / 2 products for a lower-triangular L); for every eligible
            arm its score from the four non-zero cells of its feature row; the best eligible arm
            and the JSON text of the result with every eligible arm's score.
  NumPy     the same model and result, written as a NumPy user would: the draw, L @ z densely
            (d^2), every arm's dense feature row times the weights (A d), the eligibility mask,
            argmax and json.dumps of the same result.
  MABWiser  LinTS keeps one ridge-regression posterior per arm over a context vector: for every
            arm, the Cholesky factor of its d x d covariance (about d^3 / 3), one draw from it and
            a dot product with the context; then the arm with the highest. It returns the arm only.
            Given the active arms (a user would remove the inactive ones); it has no exclusion.
  MABWiser 2-wide  the same with a context of width 2 (the query's log-length and a constant), as a
            port of this bandit would more likely shape it; still one draw per arm.
The engine and the NumPy code answer the same question from the same posterior. MABWiser's model is
another one (A independent posteriors instead of one shared posterior over arm features), so its
column says what a decision costs a user who picks it for this task, not that the two agree.

Wall clock only means something as a ratio within one run on a shared machine: the
implementations are timed in alternation, round after round, and each keeps its best round.
Matrix products run on one thread (OPENBLAS_NUM_THREADS=1), as the engine does.

Run with the interpreter of a virtual environment that has korvane and the `bench` extras
(pip install ".[bench]"):
    python bench/peers.py                                # the table; MABWiser within 1 GB
    python bench/peers.py --markdown peers.md --plot peers.png
    python bench/peers.py --only engine,numpy --plot bench/pull-time.png
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import sys
import timeit
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from workloads import make_document

# Arm counts from 12 to 10,000 (models x prompts).
SIZES = ((4, 3), (8, 8), (16, 16), (32, 32), (64, 64), (100, 100))
QUERY_LENGTH = 120
EXCLUDE = [3]


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


def mabwiser_decision(document: str, width: int, seed: int) -> Callable[[], object]:
    """One LinTS decision over the document's active arms, for a context of `width` numbers.

    Every arm is fitted from two observations (random contexts and rewards, fixed seed), so that
    each has a posterior of its own; the cost of a decision does not depend on the values.
    """
    import numpy as np
    from mabwiser.mab import MAB, LearningPolicy

    arms = [a["arm_id"] for a in json.loads(document)["arms"] if a.get("is_active", True)]
    rng = np.random.default_rng(seed)
    decisions = np.array(arms * 2)
    contexts = rng.standard_normal((len(decisions), width))
    rewards = rng.standard_normal(len(decisions))
    mab = MAB(arms, LearningPolicy.LinTS(alpha=1.0, l2_lambda=1.0), seed=seed)
    mab.fit(decisions, rewards, contexts)
    context = rng.standard_normal((1, width))
    context[0, 0] = math.log(QUERY_LENGTH)
    if width == 2:
        context[0, 1] = 1.0
    return lambda: mab.predict(context)


@dataclass(frozen=True)
class Peer:
    key: str
    label: str  # in the printed lines and the table's header
    legend: str  # in the plot


PEERS = (
    Peer("engine", "engine", "korvane engine"),
    Peer("numpy", "NumPy", "NumPy, same decision"),
    Peer("mabwiser", "MABWiser d-wide", "MABWiser LinTS, context of d"),
    Peer("mabwiser2", "MABWiser 2-wide", "MABWiser LinTS, context of 2"),
)


def mabwiser_bytes(document: str, width: int) -> int:
    """What LinTS keeps per arm, its covariance and its inverse: 2 width^2 doubles."""
    active = sum(1 for a in json.loads(document)["arms"] if a.get("is_active", True))
    return active * 2 * width * width * 8


def decision(key: str, document: str, d: int) -> Callable[[], object]:
    if key == "engine":
        from korvane._engine import BanditEngine

        engine = BanditEngine(document, seed=7)
        return lambda: engine.pull(query_length=QUERY_LENGTH, exclude_ids=EXCLUDE)
    if key == "numpy":
        reference = NumpyBandit(document, seed=7)
        return lambda: reference.pull(query_length=QUERY_LENGTH, exclude_ids=EXCLUDE)
    return mabwiser_decision(document, d if key == "mabwiser" else 2, seed=7)


def best_times(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Seconds per call of each, the best of `rounds` rounds that time them in alternation."""
    numbers = {}
    for key, call in calls.items():
        once = timeit.timeit(call, number=1)  # also the first call's one-time costs
        numbers[key] = max(1, int(0.05 / max(once, 1e-7)))  # about 50 ms a round
    best = dict.fromkeys(calls, math.inf)
    for _ in range(rounds):
        for key, call in calls.items():
            best[key] = min(best[key], timeit.timeit(call, number=numbers[key]) / numbers[key])
    return best


def side_by_side(peers: list[Peer], rounds: int, memory_limit: float,
                 sizes=SIZES) -> list[tuple[int, int, dict[str, float | None]]]:
    """Per size: arms, d and each peer's seconds per decision (None where it was not run)."""
    rows = []
    for models, prompts in sizes:
        arms, d, doc = models * prompts, 3 * models + prompts, make_document(models, prompts)
        calls, skipped = {}, {}
        for peer in peers:
            if peer.key == "mabwiser" and mabwiser_bytes(doc, d) > memory_limit:
                skipped[peer.key] = f"{mabwiser_bytes(doc, d) / 1e9:.1f} GB of covariances"
                continue
            calls[peer.key] = decision(peer.key, doc, d)
        times: dict[str, float | None] = dict(best_times(calls, rounds))
        shown = []
        for peer in peers:
            t = times.get(peer.key)
            shown.append(f"{peer.label} {t * 1e6:9.2f} us" if t is not None
                         else f"{peer.label} not run ({skipped[peer.key]})")
            times.setdefault(peer.key, None)
        print(f"{arms:>6} arms: " + ", ".join(shown), flush=True)
        rows.append((arms, d, times))
        del calls
    return rows


def markdown_table(peers: list[Peer], rows) -> str:
    others = [p for p in peers if p.key != "engine"]
    unit = "µs/pull" if all(p.key in ("engine", "numpy") for p in peers) else "µs"
    header = ["arms", "d"] + [f"{p.label} ({unit})" for p in peers]
    header += [f"{p.label} / engine" for p in others]
    lines = ["| " + " | ".join(header) + " |", "|" + "---:|" * len(header)]
    for arms, d, times in rows:
        cells = [f"{arms:,}", str(d)]
        cells += [f"{times[p.key] * 1e6:,.1f}" if times[p.key] is not None else "—" for p in peers]
        cells += [f"{times[p.key] / times['engine']:,.0f}×" if times[p.key] is not None else "—"
                  for p in others]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def plot_rows(peers: list[Peer], rows, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    for peer, style in zip(peers, ("o-", "s--", "^:", "v-.")):
        points = [(arms, times[peer.key] * 1e6) for arms, _, times in rows
                  if times[peer.key] is not None]
        if points:
            ax.loglog(*zip(*points), style, label=peer.legend)
    ax.set_xlabel("arms (d = 3·models + prompts, dense lower-triangular factor)")
    if all(p.key in ("engine", "numpy") for p in peers):
        ax.set_ylabel("time per pull (µs)")
        ax.set_title("One pull through the Python API, single thread")
    else:
        ax.set_ylabel("time per decision (µs)")
        ax.set_title("One decision through the Python API, single thread")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)


def engine_and_numpy(markdown: Path | None, plot: Path | None, rounds: int = 7) -> None:
    """The engine against the NumPy decision alone (cost.py --plot and --markdown)."""
    run([p for p in PEERS if p.key in ("engine", "numpy")], rounds, math.inf, markdown, plot)


def run(peers: list[Peer], rounds: int, memory_limit: float, markdown: Path | None,
        plot: Path | None, sizes=SIZES) -> str:
    rows = side_by_side(peers, rounds, memory_limit, sizes)
    table = markdown_table(peers, rows)
    if markdown:
        markdown.write_text(table)
    if plot:
        plot_rows(peers, rows, plot)
    return table


def describe_machine(peers: list[Peer]) -> None:
    import numpy as np

    blas = ""
    try:
        import threadpoolctl

        info = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "blas"]
        blas = ", ".join(f"{i['internal_api']} {i['version']} ({i.get('architecture')}, "
                         f"{i['num_threads']} thread)" for i in info)
    except ImportError:
        pass
    versions = [f"Python {platform.python_version()}", f"NumPy {np.__version__}"]
    if any(p.key.startswith("mabwiser") for p in peers):
        from importlib.metadata import version

        versions.append(f"MABWiser {version('mabwiser')}")
    print(f"{platform.machine()}, {os.cpu_count()} CPUs; " + ", ".join(versions)
          + (f"; BLAS: {blas}" if blas else ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(p.key for p in PEERS),
                        help="which to time, of %(default)s (the engine always)")
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds per size")
    parser.add_argument("--mabwiser-memory", type=float, default=1.0, metavar="GB",
                        help="largest per-arm covariance storage to give MABWiser a context of d "
                             "(default: %(default)s GB; 10,000 arms would need 22 GB)")
    parser.add_argument("--max-arms", type=int, default=10_000,
                        help="largest of the sizes 12, 64, 256, 1024, 4096, 10000 to run")
    parser.add_argument("--markdown", type=Path, help="write the table here")
    parser.add_argument("--plot", type=Path, help="write the plot (PNG) here")
    args = parser.parse_args()
    wanted = {"engine", *args.only.split(",")}
    unknown = wanted - {p.key for p in PEERS}
    if unknown:
        parser.error(f"unknown: {', '.join(sorted(unknown))}")
    peers = [p for p in PEERS if p.key in wanted]
    # Matrix products on one thread, as the engine runs; before NumPy is first imported.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    describe_machine(peers)
    sizes = [(m, p) for m, p in SIZES if m * p <= args.max_arms]
    table = run(peers, args.rounds, args.mabwiser_memory * 1e9, args.markdown, args.plot, sizes)
    print()
    sys.stdout.write(table)


if __name__ == "__main__":
    main()
