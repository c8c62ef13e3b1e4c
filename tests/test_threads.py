"""Engines used from several threads at once."""

import json
import sys
import threading
from collections import Counter

from conftest import three_arm_doc

from korvane._engine import BanditEngine

THREADS = 6
PULLS = 300


def _canonical(result):
    parsed = json.loads(result)
    return parsed["arm_index"], tuple(sorted(parsed["scores"].items()))


def _in_threads(work):
    errors = []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch as often as the interpreter allows

    def run(n):
        try:
            work(n)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    try:
        threads = [threading.Thread(target=run, args=(n,)) for n in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []


def test_threads_sharing_one_engine_consume_one_sequence_of_draws():
    shared = BanditEngine(three_arm_doc(), seed=21)
    results = [[] for _ in range(THREADS)]

    def work(n):
        for _ in range(PULLS):
            results[n].append(_canonical(shared.pull(40, [4])))
            shared.num_arms, shared.get_arms_json()

    _in_threads(work)
    alone = BanditEngine(three_arm_doc(), seed=21)
    expected = Counter(_canonical(alone.pull(40, [4])) for _ in range(THREADS * PULLS))
    assert Counter(r for rs in results for r in rs) == expected


def test_threads_with_their_own_engines_are_independent():
    results = [None] * THREADS

    def work(n):
        engine = BanditEngine(three_arm_doc(), seed=n)
        results[n] = [engine.pull(n) for _ in range(PULLS)]
        engine.update_from_sync(three_arm_doc(name=f"t{n}"))
        assert engine.bandit_name == f"t{n}"

    _in_threads(work)
    for n in range(THREADS):
        engine = BanditEngine(three_arm_doc(), seed=n)
        assert results[n] == [engine.pull(n) for _ in range(PULLS)]
