"""Soaks of one engine over long runs: memory, references and state stay where they were.

Run with `pytest -m soak tests/test_soak.py`; the counts come from the environment so that a quick
local run or a longer hunt can change them without editing the test.
"""

from __future__ import annotations

import collections
import ctypes
import ctypes.util
import functools
import gc
import json
import os
import sys

import pytest
from conftest import three_arm_doc
import test_leaks

from korvane._engine import BanditEngine

PULLS = int(os.environ.get("KORVANE_SOAK_PULLS", "1000000"))
REFRESHES = int(os.environ.get("KORVANE_SOAK_REFRESHES", "20000"))
ENTRY_POINT_ROUNDS = int(os.environ.get("KORVANE_SOAK_ROUNDS", "100000"))

# One leaked allocation (a malloc chunk is 32 bytes or more) per pull, refresh or round of calls
# goes past these many times over; the interpreter's own noise stays far below them.
RESIDENT_LIMIT = 8 * 1024 * 1024
HEAP_LIMIT = 512 * 1024
OBJECT_SLACK = 100


def wide_doc() -> str:
    """Twelve arms, four models, three prompts (d = 3 * 4 + 3), one inactive, mixed latencies."""
    arms = []
    for i in range(12):
        arm = {"arm_id": 100 + i, "model_name": f"m{i % 4}", "model_provider": "p",
               "system_prompt": f"prompt {i % 3}"}
        if i % 3 != 1:
            arm["avg_latency_last_n"] = 150.0 + 40.0 * i
        if i == 5:
            arm["is_active"] = False
        arms.append(arm)
    d = 15
    cholesky = [[(0.5 if i == j else 0.01 * (i - j)) if j <= i else 0.0 for j in range(d)]
                for i in range(d)]
    return json.dumps({
        "bandit_id": 42, "name": "wide", "theta": [0.03 * (k - 7) for k in range(d)],
        "cholesky": cholesky, "dimensions": d, "avg_latency_last_n": 400.0,
        "optimization_mode": "explore", "arms": arms,
    })


class QueryLength:
    def __index__(self):
        return 777


SMALL = three_arm_doc()
WIDE = wide_doc()
# The two documents the engine moves between, with the arms a pull may choose in each.
CHOOSABLE = {SMALL: {3, 9}, WIDE: {100 + i for i in range(12)} - {105}}
SHAPE = {SMALL: (3, "three"), WIDE: (12, "wide")}

QUERIES = [None, 0, 1, 120, 4294967295, 3_000_000_000, QueryLength()]
# Per document: exclusions that leave a choice, and the last one that excludes every active arm.
EXCLUSIONS = {
    SMALL: [None, [], [3], (9, 10**6), [9, 9, 9], range(0, 4), b"\x03", [3, 9]],
    WIDE: [None, [], [100, 101], (111, -1), range(100, 108), [104] * 5, b"",
           list(range(100, 112))],
}
REFUSED = [
    three_arm_doc(arms=[]),               # no arms
    three_arm_doc(dimensions=9),          # dimensions disagree with the arms
    three_arm_doc(theta=[0.1, 0.2]),      # posterior of the wrong size
    '{"bandit_id": 1, "arms": [',         # not JSON
]
# Refreshes cycle through successes and refusals, so the engine alternates between both documents.
REFRESH_CYCLE = [WIDE, REFUSED[0], SMALL, REFUSED[1], WIDE, REFUSED[2], SMALL, REFUSED[3]]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


@functools.cache
def _mallinfo2():
    libc_name = ctypes.util.find_library("c")
    mallinfo2 = getattr(ctypes.CDLL(libc_name), "mallinfo2", None) if libc_name else None
    if mallinfo2 is not None:
        mallinfo2.restype = MallInfo2
    return mallinfo2


def _heap_in_use():
    """Bytes the C allocator has handed out and not had back, or None where it cannot say."""
    mallinfo2 = _mallinfo2()
    if mallinfo2 is None:
        return None
    info = mallinfo2()
    return info.uordblks + info.hblkhd


class Meter:
    """Snapshots of everything that must stay flat: references, tracked objects, memory."""

    def __init__(self, watched):
        self.watched = watched
        self.own = []  # the meter's snapshots, left out of the object count

    def take(self):
        gc.collect()
        # Memory first: reading it may allocate objects of its own on the first call.
        heap, resident = _heap_in_use(), test_leaks._resident_bytes()
        own = {id(obj) for obj in self.own}
        objects = collections.Counter(
            type(obj).__name__ for obj in gc.get_objects() if id(obj) not in own)
        snapshot = {
            "references": [sys.getrefcount(obj) for obj in self.watched],
            "objects": objects,
            "resident": resident,
            "heap": heap,
        }
        self.own += [snapshot, snapshot["references"]]
        return snapshot

    @staticmethod
    def assert_flat(before, after):
        assert after["references"] == before["references"]
        # The interpreter's own caches come and go by a few objects; a leak grows with the calls.
        grown = after["objects"] - before["objects"]
        assert sum(grown.values()) < OBJECT_SLACK, grown
        assert after["resident"] - before["resident"] < RESIDENT_LIMIT
        if before["heap"] is not None:
            assert after["heap"] - before["heap"] < HEAP_LIMIT


class Soak:
    """One engine pulled with ever-changing arguments and refreshed now and then."""

    def __init__(self):
        self.engine = BanditEngine(SMALL, seed=2024)
        self.current = SMALL
        self.pulls = 0
        self.refreshes = 0
        self.refused = {"pull": 0, "refresh": 0}
        self.refresh_every = max(1, PULLS // max(1, REFRESHES))

    def refresh(self):
        doc = REFRESH_CYCLE[self.refreshes % len(REFRESH_CYCLE)]
        self.refreshes += 1
        if doc in SHAPE:
            assert self.engine.update_from_sync(doc) is None
            self.current = doc
        else:
            with pytest.raises(ValueError):
                self.engine.update_from_sync(doc)
            self.refused["refresh"] += 1
        # A refused refresh leaves the previous state in place.
        assert (self.engine.num_arms, self.engine.bandit_name) == SHAPE[self.current]

    def run(self, pulls):
        engine = self.engine
        for _ in range(pulls):
            i = self.pulls
            self.pulls += 1
            if i % self.refresh_every == 0:
                self.refresh()
            exclusions = EXCLUSIONS[self.current]
            # Lengths 7 and 8 are coprime, so every query meets every exclusion.
            query = QUERIES[i % len(QUERIES)]
            exclude = exclusions[i % len(exclusions)]
            try:
                result = engine.pull(query, exclude)
            except ValueError as error:
                assert exclude is exclusions[-1], error
                assert error.args == ("All arms excluded or inactive",)
                self.refused["pull"] += 1
                continue
            if i % 101 == 0:
                chosen = json.loads(result)["arm_id"]
                assert chosen in CHOOSABLE[self.current]
                assert exclude is None or chosen not in exclude


@pytest.mark.soak
def test_million_pulls_and_refreshes_keep_memory_and_references_flat():
    soak = Soak()
    watched = [soak.engine, BanditEngine, QueryLength, SMALL, WIDE, *REFUSED, *QUERIES,
               *EXCLUSIONS[SMALL], *EXCLUSIONS[WIDE]]
    meter = Meter(watched)
    warm_up = max(PULLS // 20, 1)
    soak.run(warm_up)
    before = meter.take()
    soak.run(PULLS - warm_up)
    after = meter.take()
    Meter.assert_flat(before, after)
    # Every kind of call happened, and the engine still answers like a new one from its document.
    assert soak.refreshes == -(-PULLS // soak.refresh_every)
    assert soak.refused["refresh"] >= soak.refreshes // 2
    assert soak.refused["pull"] >= PULLS // 60
    assert soak.engine.get_arms_json() == BanditEngine(soak.current).get_arms_json()


@pytest.mark.soak
def test_every_entry_point_soak_keeps_memory_and_references_flat():
    # The rounds of test_leaks: every entry point, succeeding and failing, re-entrant included.
    meter = Meter([BanditEngine, test_leaks.GOOD, test_leaks.REFUSED, test_leaks.EXCLUDE,
                   test_leaks.INDEX, test_leaks.NOT_SEQUENCE])
    test_leaks._run(max(ENTRY_POINT_ROUNDS // 50, 1))
    before = meter.take()
    test_leaks._run(ENTRY_POINT_ROUNDS)
    Meter.assert_flat(before, meter.take())
