"""Access rules: Python code running inside a call meets the engine's borrow flag."""

import json
import threading

import pytest
from conftest import three_arm_doc

from korvane._engine import BanditEngine


class Reentrant:
    """An exclusion sequence whose iteration calls back into the engine."""

    def __init__(self, action):
        self.action = action
        self.errors = []

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i > 0:
            raise IndexError
        try:
            self.action()
        except RuntimeError as exc:
            self.errors.append(str(exc))
        return 4


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda e: e.bandit_id, "Already mutably borrowed"),
        (lambda e: e.bandit_name, "Already mutably borrowed"),
        (lambda e: e.dimensions, "Already mutably borrowed"),
        (lambda e: e.num_arms, "Already mutably borrowed"),
        (lambda e: e.get_arms_json(), "Already mutably borrowed"),
        (lambda e: e.pull(), "Already borrowed"),
        (lambda e: e.update_from_sync(three_arm_doc()), "Already borrowed"),
    ],
)
def test_nested_calls_fail_and_the_outer_call_is_unaffected(action, message):
    engine = BanditEngine(three_arm_doc(), seed=2)
    twin = BanditEngine(three_arm_doc(), seed=2)
    seq = Reentrant(lambda: action(engine))
    assert engine.pull(10, seq) == twin.pull(10, [4])
    assert seq.errors == [message]
    assert engine.pull() == twin.pull()  # the flag was given back


def test_index_hook_of_query_length_meets_the_exclusive_borrow():
    engine = BanditEngine(three_arm_doc(), seed=2)
    seen = []

    class Length:
        def __index__(self):
            try:
                engine.num_arms
            except RuntimeError as exc:
                seen.append(str(exc))
            return 3

    engine.pull(Length())
    assert seen == ["Already mutably borrowed"]


def test_an_uncaught_nested_failure_propagates_and_releases_the_flag():
    engine = BanditEngine(three_arm_doc(), seed=2)

    class Raising:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return engine.pull()

    with pytest.raises(RuntimeError, match="^Already borrowed$") as info:
        engine.pull(exclude_ids=Raising())
    assert type(info.value) is RuntimeError
    assert engine.bandit_id == -77 and json.loads(engine.pull())["arm_id"] in (3, 9)


def test_every_failed_call_gives_the_access_back(engine):
    failures = [
        lambda: engine.pull(1, 2, 3),
        lambda: engine.pull(query_length=-1),
        lambda: engine.pull(exclude_ids="x"),
        lambda: engine.pull(exclude_ids=[3, 9]),
        lambda: engine.update_from_sync("{"),
        lambda: engine.update_from_sync(5),
        lambda: engine.get_arms_json(1),
    ]
    for fail in failures:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            fail()
        assert engine.num_arms == 3
        assert engine.pull()


def test_another_thread_meets_the_flag_while_python_code_runs_inside_a_pull():
    engine = BanditEngine(three_arm_doc(), seed=2)
    inside = threading.Event()
    done = threading.Event()
    seen = []

    class Slow:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 0:
                raise IndexError
            inside.set()
            assert done.wait(10)  # waiting lets the other thread run
            return 4

    def other():
        assert inside.wait(10)
        for call in (engine.pull, lambda: engine.bandit_id):
            try:
                call()
            except RuntimeError as exc:
                seen.append(str(exc))
        done.set()

    worker = threading.Thread(target=other)
    worker.start()
    engine.pull(exclude_ids=Slow())
    worker.join()
    assert seen == ["Already borrowed", "Already mutably borrowed"]
