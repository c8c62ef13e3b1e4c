"""The choice distribution of a sync document: how often each arm is chosen, under each mode.

    python examples/choice_distribution.py [FILE] [--pulls N] [--query-length Q] [--seed S]

Thompson sampling chooses each arm about as often as the posterior believes it is the best one,
so the distribution shows how sure the bandit is of its arms. It is shown for each
`optimization_mode`: "explore" widens every draw around the posterior's mean (choices spread
out), "maximize" narrows it (the favourite wins more often). Without FILE, the document bundled
with korvane is used. It ends within a second or two.
"""

from __future__ import annotations

import argparse
import json
from collections import Counter
from pathlib import Path

import korvane

MODES = ("base", "explore", "maximize")


def distribution(document: dict, mode: str, pulls: int, query_length: int, seed: int) -> Counter:
    """How many of `pulls` pulls chose each arm index, with the document in `mode`."""
    engine = korvane.BanditEngine(json.dumps(dict(document, optimization_mode=mode)), seed=seed)
    return Counter(
        json.loads(engine.pull(query_length=query_length))["arm_index"] for _ in range(pulls)
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=Path, help="a sync document (default: bundled)")
    parser.add_argument("--pulls", type=int, default=10_000)
    parser.add_argument("--query-length", type=int, default=120)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    text = args.file.read_text(encoding="utf-8") if args.file else korvane.example_document()
    document = json.loads(text)
    counts = {mode: distribution(document, mode, args.pulls, args.query_length, args.seed)
              for mode in MODES}

    print(f"Bandit {document['bandit_id']} {document['name']!r}: share of {args.pulls} pulls "
          f"(query length {args.query_length}) that chose each arm")
    print(f"  {'arm':>5}  {'model':<14}{'prompt':<32}" + "".join(f"{m:>10}" for m in MODES))
    for index, arm in enumerate(document["arms"]):
        prompt = arm["system_prompt"][:29] + ("..." if len(arm["system_prompt"]) > 29 else "")
        shares = "".join(f"{100 * counts[m][index] / args.pulls:>9.1f}%" for m in MODES)
        if not arm.get("is_active", True):
            shares = f"{'inactive':>10}" * len(MODES)
        print(f"  {arm['arm_id']:>5}  {arm['model_name']:<14}{prompt:<32}{shares}")


if __name__ == "__main__":
    main()
