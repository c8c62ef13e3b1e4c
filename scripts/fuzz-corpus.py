#!/usr/bin/env python3
"""Writes seed corpora for the engine's fuzz targets into OUT/reader, OUT/engine, OUT/differential.

The reader gets sync documents of several shapes, near-misses of them and, when present, the JSON
conformance cases beside the checkout. The engine target gets a document, a script of operations
and refresh documents (its input format is described in engine/fuzz/fuzz_engine.cpp). The
differential target builds its documents from raw bytes, so it gets varied byte strings.
Everything is deterministic: the same command writes the same files.
"""

import argparse
import hashlib
import json
import random
import shutil
import sys
from pathlib import Path

SEPARATOR = b"\n%%\n"

MODELS = [("m1", "p"), ("m2", "p"), ("m1", "q"), ("large", "vendor"), ("Модель", "p"), ("", "")]
PROMPTS = ["Be brief.", "", "line1\nline2 \"q\"", "\u0001ctl", "tab\there", "日本語 ✓", "\U0001F600"]


def feature_width(arms):
    models = {(a["model_name"], a["model_provider"]) for a in arms}
    prompts = {a["system_prompt"] for a in arms}
    return 3 * len(models) + len(prompts)


def make_arms(rng, count, duplicate_ids=False):
    arms = []
    for i in range(count):
        model, provider = rng.choice(MODELS)
        arm = {
            "arm_id": rng.randint(0, 3) if duplicate_ids else i + 1,
            "model_name": model,
            "model_provider": provider,
            "system_prompt": rng.choice(PROMPTS),
        }
        if rng.random() < 0.5:
            arm["is_active"] = rng.random() < 0.8
        if rng.random() < 0.3:
            arm["is_prompt_templated"] = rng.random() < 0.5
        if rng.random() < 0.6:
            arm["avg_latency_last_n"] = rng.choice([None, 0, 100.5, 812.5, -3, 1e-300, 1e300])
        arms.append(arm)
    return arms


def matrix(rng, d, kind):
    if kind == "identity":
        return [[1.0 if i == j else 0.0 for j in range(d)] for i in range(d)]
    if kind == "lower":
        return [[round(rng.uniform(-1, 1), 3) if j <= i else 0 for j in range(d)] for i in range(d)]
    if kind == "edges":
        pool = [0, -0.0, 1e308, -1.7976931348623157e308, 5e-324, 2.2250738585072014e-308, 1e-160]
        return [[rng.choice(pool) for _ in range(d)] for _ in range(d)]
    return [[0] * d for _ in range(d)]


def make_doc(rng, arms, nested=True, kind="identity", extra_keys=False, mode=None):
    d = feature_width(arms)
    rows = matrix(rng, d, kind)
    doc = {
        "bandit_id": rng.choice([7, 1, -5, 0, 9223372036854775807, -9223372036854775808]),
        "name": rng.choice(["support", "abc", "", "naïve", "x\"y"]),
        "theta": [round(rng.uniform(-0.5, 0.5), 4) for _ in range(d)],
        "cholesky": rows if nested else [x for row in rows for x in row],
        "dimensions": d,
    }
    if mode is not None:
        doc["optimization_mode"] = mode
    if rng.random() < 0.6:
        doc["avg_latency_last_n"] = rng.choice([None, 200.0, 0, -1, 1e-300])
    if extra_keys:
        doc["unknown"] = {"deep": [[1, {"x": None}], "s", True]}
    doc["arms"] = arms
    return doc


def dump(doc, rng):
    if rng.random() < 0.5:
        return json.dumps(doc, ensure_ascii=rng.random() < 0.5, separators=(",", ":")).encode()
    return json.dumps(doc, ensure_ascii=False, indent=rng.choice([1, 2, "\t"])).encode()


def array_form(doc):
    fields = ["bandit_id", "name", "theta", "cholesky", "dimensions", "optimization_mode",
              "avg_latency_last_n", "arms"]
    arm_fields = ["arm_id", "model_name", "model_provider", "system_prompt",
                  "is_prompt_templated", "is_active", "avg_latency_last_n"]
    arms = [[a.get(k, {"is_active": True, "is_prompt_templated": False}.get(k)) for k in arm_fields]
            for a in doc["arms"]]
    out = [doc.get(k) for k in fields[:5]] + [doc.get("optimization_mode", "base"),
                                               doc.get("avg_latency_last_n"), arms]
    return json.dumps(out).encode()


def valid_documents(rng):
    docs = []
    for count in (1, 2, 3, 5, 12):
        for nested in (True, False):
            arms = make_arms(rng, count, duplicate_ids=count > 3 and nested)
            mode = rng.choice([None, "base", "explore", "maximize", "Explore"])
            kind = rng.choice(["identity", "lower", "edges", "zero"])
            docs.append(make_doc(rng, arms, nested, kind, extra_keys=count == 2, mode=mode))
    return docs


def near_misses(rng, valid):
    base = valid[0]
    text = json.dumps(base).encode()
    out = [b"", b"{}", b"[]", b"{\"bandit_id\": 1}", b"null", b" \n ", text + b" x", text + text]
    for key in ("bandit_id", "name", "theta", "cholesky", "dimensions", "arms"):
        doc = dict(base)
        del doc[key]
        out.append(json.dumps(doc).encode())
    wrong = {"bandit_id": "7", "dimensions": -1, "theta": [[1, 2]], "cholesky": [1, [2]],
             "optimization_mode": None, "arms": None, "name": 5}
    for key, value in wrong.items():
        doc = dict(base)
        doc[key] = value
        out.append(json.dumps(doc).encode())
    doc = dict(base)
    doc["dimensions"] = base["dimensions"] + 1
    out.append(json.dumps(doc).encode())
    doc = dict(base)
    doc["arms"] = []
    out.append(json.dumps(doc).encode())
    out.append(text.replace(b'"name"', b'"name": "a", "name"', 1))
    out.append(text.replace(b'"bandit_id": 7', b'"bandit_id": 9223372036854775808', 1))
    out.append(text.replace(b'"theta": [', b'"theta": [1e400, ', 1))
    out.append(text.replace(b'"theta": [', b'"theta": [0e400, 1.0e-400, ', 1))
    # The document is the first level: 126 brackets inside it are the deepest accepted nesting.
    for depth in (126, 127):
        out.append(text[:-1] + b', "deep": ' + b"[" * depth + b"]" * depth + b"}")
    out.append(b'{"name": "\\ud800\\udc00 \\udc00"}')
    out.append(b'{"name": "\xc3\x28"}')
    for cut in sorted({len(text) * k // 9 for k in range(1, 9)}):
        out.append(text[:cut])
    return out


def write(directory, files):
    directory.mkdir(parents=True, exist_ok=True)
    for content in files:
        name = hashlib.sha1(content).hexdigest()
        (directory / name).write_bytes(content)


def engine_inputs(rng, valid):
    inputs = []
    docs = [json.dumps(d).encode() for d in valid]
    refused = [b"{}", json.dumps(dict(valid[0], arms=[])).encode(),
               json.dumps(dict(valid[1], dimensions=0)).encode(), docs[2][: len(docs[2]) // 2]]
    for i, doc in enumerate(docs):
        script = bytes([i if i % 4 else 0xFF])
        for _ in range(rng.randint(4, 20)):
            op = rng.randrange(5)
            script += bytes([op])
            if op == 0:
                script += bytes([rng.randrange(256) & 0x1F, 16 + rng.randint(0, 12)] +
                                [16 + rng.randint(0, 12)] * 2)
            elif op == 4:
                script += bytes([rng.randrange(256)])
        extra = [rng.choice(docs), rng.choice(refused), rng.choice(docs)]
        inputs.append(SEPARATOR.join([doc, script] + extra))
        inputs.append(doc)
    return inputs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path, help="directory to write the three corpora into")
    default_suite = Path(__file__).resolve().parent.parent.parent / "shared/jsontestsuite"
    parser.add_argument("--jsontestsuite", type=Path, default=default_suite,
                        help="folder of the JSON conformance cases (skipped when absent)")
    args = parser.parse_args()

    rng = random.Random(20240611)
    valid = valid_documents(rng)
    reader = [dump(d, rng) for d in valid] + [array_form(d) for d in valid[:4]]
    reader += near_misses(rng, valid)
    for name in ("reader", "engine", "differential"):
        shutil.rmtree(args.out / name, ignore_errors=True)
    write(args.out / "reader", reader)
    suite = args.jsontestsuite / "test_parsing"
    if suite.is_dir():
        for case in sorted(suite.iterdir()):
            if case.is_file():
                shutil.copyfile(case, args.out / "reader" / case.name)
    write(args.out / "engine", engine_inputs(rng, valid))
    write(args.out / "differential",
          [bytes(rng.randrange(256) for _ in range(n)) for n in (0, 1, 8, 32, 64, 128, 256, 512,
                                                                  1024, 2048) for _ in range(3)])
    counts = {n: len(list((args.out / n).iterdir())) for n in ("reader", "engine", "differential")}
    print("seed corpora:", ", ".join(f"{n} {c}" for n, c in counts.items()), file=sys.stderr)


if __name__ == "__main__":
    main()
