"""Every entry point, succeeding or failing, returns what it borrowed and frees what it made."""

import gc
import os
import sys
import tracemalloc

import pytest
from conftest import three_arm_doc

from korvane._engine import BanditEngine

GOOD = three_arm_doc()
REFUSED = three_arm_doc(arms=[])
EXCLUDE = [3, 10**6]
BIG = 10**12
ALL_OUT = [3, 9]


class Index:
    def __index__(self):
        return 77


class Reentrant:
    def __init__(self, engine):
        self.engine = engine

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i > 1:
            raise IndexError
        try:
            self.engine.bandit_id
        except RuntimeError:
            pass
        return i


INDEX = Index()
NOT_TEXT = object()
NOT_SEQUENCE = {1, 2}


def _expect(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def exercise(engine, reentrant):
    """One call of every entry point, and one of each kind of failure."""
    BanditEngine(GOOD, seed=INDEX)
    BanditEngine(GOOD)
    _expect(ValueError, BanditEngine, REFUSED)
    _expect(TypeError, BanditEngine, NOT_TEXT)
    _expect(TypeError, BanditEngine, GOOD, 1, 2)
    _expect(TypeError, BanditEngine, GOOD, bogus=1)
    _expect(OverflowError, BanditEngine, GOOD, seed=-BIG)
    engine.pull()
    engine.pull(BIG % 1000, EXCLUDE)
    engine.pull(query_length=INDEX, exclude_ids=reentrant)
    _expect(ValueError, engine.pull, exclude_ids=ALL_OUT)
    _expect(TypeError, engine.pull, exclude_ids=NOT_SEQUENCE)
    _expect(TypeError, engine.pull, exclude_ids=[1, NOT_TEXT])
    _expect(OverflowError, engine.pull, exclude_ids=[BIG])
    _expect(OverflowError, engine.pull, BIG)
    _expect(TypeError, engine.pull, NOT_TEXT)
    engine.update_from_sync(GOOD)
    _expect(ValueError, engine.update_from_sync, REFUSED)
    _expect(TypeError, engine.update_from_sync, NOT_TEXT)
    _expect(TypeError, engine.update_from_sync)
    engine.get_arms_json()
    _expect(TypeError, engine.get_arms_json, 1)
    engine.bandit_id, engine.bandit_name, engine.dimensions, engine.num_arms


def _run(calls):
    engine = BanditEngine(GOOD, seed=1)
    reentrant = Reentrant(engine)
    for _ in range(calls):
        exercise(engine, reentrant)


def test_reference_counts_return_to_where_they_were():
    _run(10)
    watched = [GOOD, REFUSED, EXCLUDE, BIG, ALL_OUT, INDEX, NOT_TEXT, NOT_SEQUENCE, BanditEngine,
               Index, Reentrant]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    _run(500)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_python_allocations_do_not_grow():
    _run(50)
    gc.collect()
    tracemalloc.start()
    try:
        _run(20)
        gc.collect()
        baseline, _ = tracemalloc.get_traced_memory()
        _run(1000)
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current - baseline < 64 * 1024


def _under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line or "libclang_rt.asan" in line for line in maps)


def _resident_bytes():
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("resident memory is read from /proc")
    if _under_address_sanitizer():
        pytest.skip("AddressSanitizer holds freed memory in quarantine: resident size says nothing")
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _assert_resident_memory_bounded(calls, limit):
    _run(200)
    gc.collect()
    before = _resident_bytes()
    _run(calls)
    gc.collect()
    assert _resident_bytes() - before < limit


def test_resident_memory_stays_bounded():
    _assert_resident_memory_bounded(3000, 4 * 1024 * 1024)
