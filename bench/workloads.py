"""What the benchmark scripts share: the documents they measure, the calls they make, and
instruction counting under valgrind's callgrind.

Only the standard library is imported here, so that the scripts which count instructions can load
this module in interpreters that have nothing else installed (the armv7l CPython under qemu-arm
among them), and none of the scripts needs another script.
"""

from __future__ import annotations

import contextlib
import json
import os
import random
import subprocess
import tempfile
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
REFRESH_CALL = "engine.update_from_sync(doc)"
# Enough refreshes that the difference of two counts holds several megabytes of text.
TARGET_BYTES = 8_000_000


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


def engine_setup(models: int, prompts: int) -> str:
    """The setup text of one engine built from make_document(models, prompts), seed 7."""
    return (
        f"sys.path.insert(0, {str(BENCH_DIR)!r})\n"
        "from workloads import make_document\n"
        "from korvane._engine import BanditEngine\n"
        f"engine = BanditEngine(make_document({models}, {prompts}), seed=7)\n"
    )


def refresh_count(size: int) -> int:
    """The n of the n and 3 n refreshes measured for a document of `size` bytes."""
    return max(1, TARGET_BYTES // (2 * size))


@contextlib.contextmanager
def refresh_setup(doc: str):
    """The setup text of one engine built from `doc`, which it reads from a temporary file."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False, encoding="utf-8") as f:
        f.write(doc)
    try:
        yield (f"doc = open({f.name!r}, encoding='utf-8').read()\n"
               "from korvane._engine import BanditEngine\n"
               "engine = BanditEngine(doc, seed=1)\n")
    finally:
        os.unlink(f.name)


def counting_script(setup: str, call: str, epilogue: str = "") -> str:
    """A program that runs `setup`, then `call` as many times as its first argument says.

    The calls are made from a function, as a service makes them, and counted as timeit counts them
    (a loop at module level would add the global dictionary's stores of its loop variable, and a
    range its int objects).
    """
    return (f"import itertools, sys\n{setup}\n"
            f"def run(n):\n    for _ in itertools.repeat(None, n):\n        {call}\n"
            f"run(int(sys.argv[1]))\n{epilogue}")


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

    Start-up and setup are the same in both runs and cancel out of the difference; the interpreter
    runs with a fixed hash seed so that they are exactly the same.
    """
    env = dict(os.environ, PYTHONHASHSEED="0")
    script = counting_script(setup, call)
    counts = [callgrind_instructions([python, "-c", script, str(n)], env) for n in (n1, n2)]
    return (counts[1] - counts[0]) / (n2 - n1)
