"""Construction time of documents whose keys were chosen to collide, against random keys.

Two floods, each shaped as a hostile service would shape it against fixed, public hash functions:
  ids      arm_id = j * (inverse of 0x9e3779b97f4a7c15) mod 2^64, read as signed: Fibonacci
           hashing of the raw identifier sends every one of them to the same slot;
  prompts  distinct 16-byte prompts that share one value of a word-at-a-time multiply-xorshift text
           hash (first 8 bytes chosen, the last 8 solved for by undoing the last step).
Each is timed against a document of the same size with random keys: the ratio stays near 1 when
the tables' cost does not depend on the keys. The prompt documents fail the dimensions check
after the index map is built, as a hostile document may, so it is that much that is timed.
Run with the interpreter of a virtual environment that has korvane installed:
    .venv-3.13/bin/python bench/flood.py [--arms 10000,60000,100000] [--prompts 6000,20000]
"""

from __future__ import annotations

import argparse
import json
import random
import timeit

from korvane._engine import BanditEngine

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
TEXT_MULTIPLIER = 0xBF58476D1CE4E5B9


def document(arms: list[dict]) -> str:
    return json.dumps({"bandit_id": 1, "name": "flood", "dimensions": 4,
                       "theta": [0.0] * 4, "cholesky": [[float(i == j) for j in range(4)]
                                                        for i in range(4)],
                       "arms": arms})


def id_document(ids: list[int]) -> str:
    return document([{"arm_id": i, "model_name": "m", "model_provider": "p",
                      "system_prompt": "s"} for i in ids])


def colliding_ids(n: int) -> list[int]:
    inverse = pow(GOLDEN, -1, 1 << 64)
    ids = [(j * inverse) & MASK for j in range(1, n + 1)]
    return [i - (1 << 64) if i >= 1 << 63 else i for i in ids]


def random_ids(n: int, rng: random.Random) -> list[int]:
    ids: set[int] = set()
    while len(ids) < n:
        ids.add(rng.getrandbits(64) - (1 << 63))
    return sorted(ids, key=lambda _: rng.random())


def prompt_document(prompts: list[str]) -> str:
    return document([{"arm_id": k, "model_name": "m", "model_provider": "p",
                      "system_prompt": p} for k, p in enumerate(prompts)])


def colliding_prompts(n: int, rng: random.Random) -> list[str]:
    """Distinct 16-byte ASCII texts with one and the same 64-bit hash."""
    def mix(h: int, word: int) -> int:
        h = ((h ^ word) * TEXT_MULTIPLIER) & MASK
        return h ^ (h >> 31)

    inverse = pow(TEXT_MULTIPLIER, -1, 1 << 64)
    target = 0x0123456789ABCDEF
    unshifted = target ^ (target >> 31) ^ (target >> 62)  # undoes h ^= h >> 31
    before_multiply = (unshifted * inverse) & MASK
    start = (16 * TEXT_MULTIPLIER) & MASK
    found: set[str] = set()
    while len(found) < n:
        head = bytes(rng.randrange(0x20, 0x7F) for _ in range(8))
        tail = (before_multiply ^ mix(start, int.from_bytes(head, "little"))).to_bytes(8, "little")
        if all(0 < b < 0x80 for b in tail):
            found.add((head + tail).decode("ascii"))
    return sorted(found)


def random_prompts(n: int, rng: random.Random) -> list[str]:
    """Texts like the crafted ones: 8 printable bytes, then 8 below 0x80 (escaped when controls)."""
    found: set[str] = set()
    while len(found) < n:
        found.add("".join(chr(rng.randrange(0x20, 0x7F)) for _ in range(8)) +
                  "".join(chr(rng.randrange(0x01, 0x80)) for _ in range(8)))
    return sorted(found)


def construct_ms(doc: str, repeat: int) -> float:
    def build() -> None:
        try:
            BanditEngine(doc, seed=1)
        except ValueError:
            pass
    return min(timeit.repeat(build, number=1, repeat=repeat)) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arms", default="10000,60000,100000")
    parser.add_argument("--prompts", default="6000,20000")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many constructions")
    args = parser.parse_args()
    rng = random.Random(19)
    print(f"{'flood':>8} {'keys':>7} {'MB':>6} {'crafted ms':>11} {'random ms':>10} {'ratio':>7}")
    cases = [("ids", int(n), id_document(colliding_ids(int(n))),
              id_document(random_ids(int(n), rng))) for n in args.arms.split(",") if n]
    cases += [("prompts", int(n), prompt_document(colliding_prompts(int(n), rng)),
               prompt_document(random_prompts(int(n), rng))) for n in args.prompts.split(",") if n]
    for name, n, crafted, plain in cases:
        slow, fast = construct_ms(crafted, args.repeat), construct_ms(plain, args.repeat)
        print(f"{name:>8} {n:>7} {len(crafted) / 1e6:>6.2f} {slow:>11.1f} {fast:>10.1f} "
              f"{slow / fast:>7.1f}", flush=True)


if __name__ == "__main__":
    main()
