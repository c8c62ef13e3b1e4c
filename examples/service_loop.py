"""A service loop: threads answer queries with one shared engine while another thread refreshes it.

Four workers take queries, pull an arm for each, read the chosen arm from the result and call its
model. One model fails now and then: the arm that failed is excluded from the retry of that query,
and from every query for a short while after. Meanwhile a refresher installs a newer sync
document every 20 ms, as a service does when the bandit service has learnt: the posterior's mean
drifts, one arm is retired for a while, and one broken document is refused without disturbing
anyone. It ends after 2,000 queries, in under a second, and prints what each arm served.

The engine needs no lock: every call holds the interpreter's lock from start to end, so calls on
one engine never overlap. The lock below guards this program's own counters.
"""

from __future__ import annotations

import json
import random
import threading
import time
from collections import Counter

import korvane

WORKERS = 4
QUERIES_PER_WORKER = 500
FLAKY_ARM = 104  # its model fails one call in five
PAUSE_AFTER_FAILURE = 0.02  # seconds an arm is left out of every query after it failed
REFRESH_EVERY = 0.02
RETIRED = range(3, 7)  # the versions of the document in which arm 107 is inactive
BROKEN = 5  # the version the bandit service got wrong

example = json.loads(korvane.example_document())
models = {arm["arm_id"]: arm["model_name"] for arm in example["arms"]}
engine = korvane.BanditEngine(json.dumps(example), seed=2024)

lock = threading.Lock()
served: Counter[int | None] = Counter()
failures: Counter[int] = Counter()
paused_until: dict[int, float] = {}
refreshes: Counter[str] = Counter()
workers_done = threading.Event()


def call_model(arm_id: int, query: str, rng: random.Random) -> bool:
    """Stands in for the request to the arm's model (which waits, releasing the interpreter)."""
    time.sleep(0.0005)
    return not (arm_id == FLAKY_ARM and rng.random() < 0.2)


def answer(query: str, rng: random.Random) -> int | None:
    """The arm that answered the query, or None when no arm could."""
    now = time.monotonic()
    with lock:
        excluded = [arm_id for arm_id, until in paused_until.items() if until > now]
    for _attempt in range(3):
        try:
            result = json.loads(engine.pull(query_length=len(query), exclude_ids=excluded))
        except ValueError:  # "All arms excluded or inactive"
            return None
        arm_id = result["arm_id"]
        if call_model(arm_id, query, rng):
            return arm_id
        with lock:
            failures[arm_id] += 1
            paused_until[arm_id] = time.monotonic() + PAUSE_AFTER_FAILURE
        excluded.append(arm_id)
    return None


def worker(number: int) -> None:
    rng = random.Random(number)
    for _ in range(QUERIES_PER_WORKER):
        query = "word " * rng.randint(5, 80)
        arm_id = answer(query, rng)
        with lock:
            served[arm_id] += 1


def newer_document(version: int) -> str:
    """What the bandit service would send after learning for `version` rounds."""
    document = json.loads(json.dumps(example))
    document["theta"][1] += 0.02 * version  # atlas-large has done well lately
    document["arms"][6]["is_active"] = version not in RETIRED  # arm 107
    if version == BROKEN:
        document["dimensions"] = 11
    return json.dumps(document)


def refresher() -> None:
    version = 0
    while not workers_done.wait(REFRESH_EVERY):
        version += 1
        try:
            engine.update_from_sync(newer_document(version))
            refreshes["accepted"] += 1
        except ValueError as refused:
            refreshes["refused"] += 1
            print(f"refresh to version {version} refused, the engine kept version {version - 1}:")
            print(f"  {refused}")


def main() -> None:
    started = time.monotonic()
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(WORKERS)]
    updates = threading.Thread(target=refresher)
    updates.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    workers_done.set()
    updates.join()

    seconds = time.monotonic() - started
    print(f"{sum(served.values())} queries by {WORKERS} threads in {seconds:.2f} s, "
          f"{refreshes['accepted']} refreshes accepted, {refreshes['refused']} refused")
    print(f"  {'arm':>4}  {'model':<12} {'answered':>8}  {'failed':>6}")
    for arm_id, model in models.items():
        print(f"  {arm_id:>4}  {model:<12} {served[arm_id]:>8}  {failures[arm_id]:>6}")
    print(f"  {'none':>4}  {'':<12} {served[None]:>8}")
    print("Arm 106 is inactive in every version; arm 107 answered only while it was active.")


if __name__ == "__main__":
    main()
