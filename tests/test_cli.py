"""The command-line demo: what it shows for a document, and one-line errors for bad input."""

from __future__ import annotations

import io
import json
import os
import re
import subprocess
import sys
from importlib import resources

import pytest

from korvane.__main__ import main

from conftest import three_arm_doc


# Set by the wheel tests under qemu-arm, where the emulated interpreter cannot start another.
IN_PROCESS = os.environ.get("KORVANE_TEST_CLI_IN_PROCESS") == "1"


def run_cli(*args: str, stdin: str | bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    data = stdin.encode() if isinstance(stdin, str) else stdin
    if IN_PROCESS:
        return run_in_process(list(args), data or b"")
    return subprocess.run([sys.executable, "-m", "korvane", *args], input=data,
                          capture_output=True, timeout=60, check=False)


def run_in_process(args: list[str], data: bytes) -> subprocess.CompletedProcess[bytes]:
    """`python -m korvane ARGS` as far as its output and status go, without a second process."""
    out, err = io.BytesIO(), io.BytesIO()
    streams = [io.TextIOWrapper(io.BytesIO(data), encoding="utf-8"),
               io.TextIOWrapper(out, encoding="utf-8"), io.TextIOWrapper(err, encoding="utf-8")]
    saved = sys.stdin, sys.stdout, sys.stderr
    sys.stdin, sys.stdout, sys.stderr = streams
    try:
        status = main(args)
    except SystemExit as exc:  # argparse's usage errors
        status = exc.code if isinstance(exc.code, int) else 1
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
        for stream in streams[1:]:
            stream.flush()
    return subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())


def choice_counts(output: str) -> dict[int, str]:
    """The chart's last column per arm id: a count or a note such as 'inactive'."""
    chart = output.split("Choices over", 1)[1].splitlines()[1:]
    notes = (re.fullmatch(r"\s*(\d+)\D.*?(inactive|excluded|\d+)(?:\s+[\d.]+%)?", line)
             for line in chart)
    return {int(m[1]): m[2] for m in notes if m}


def test_bundled_example_lists_arms_and_chart(capsys):
    assert main(["--pulls", "200", "--seed", "5", "--query-length", "120"]) == 0
    out = capsys.readouterr().out
    doc = json.loads(resources.files("korvane").joinpath("example_sync.json").read_text("utf-8"))
    assert f"Bandit {doc['bandit_id']} {doc['name']!r} (bundled example)" in out
    for arm in doc["arms"]:
        assert re.search(rf"^\s+{arm['arm_id']}\s+{re.escape(arm['model_name'])}\s", out, re.M)
    first = json.loads(out.split("First pull (query length 120):\n", 1)[1].splitlines()[0])
    assert first["arm_id"] in {arm["arm_id"] for arm in doc["arms"]}
    counts = choice_counts(out)
    inactive = {arm["arm_id"] for arm in doc["arms"] if not arm.get("is_active", True)}
    assert {i for i, c in counts.items() if c == "inactive"} == inactive
    assert sum(int(c) for i, c in counts.items() if i not in inactive) == 200


def test_same_seed_same_output_and_exclusions_are_respected(tmp_path, capsys):
    path = tmp_path / "doc.json"
    path.write_text(three_arm_doc(), encoding="utf-8")
    args = [str(path), "-n", "50", "-s", "11", "-x", "3"]
    assert main(args) == 0
    first = capsys.readouterr().out
    assert main(args) == 0
    assert capsys.readouterr().out == first
    counts = choice_counts(first)
    assert counts == {3: "excluded", 4: "inactive", 9: "50"}
    assert run_cli("-", "-n", "50", "-s", "11", "-x", "3", stdin=three_arm_doc()).stdout.decode() \
        == first.replace(f"({path})", "(standard input)")


@pytest.mark.parametrize(
    ("args", "stdin", "expected"),
    [
        (["/nonexistent/doc.json"], None,
         "korvane: error: cannot read /nonexistent/doc.json: No such file or directory"),
        (["-"], '{"bandit_id": "7"}',
         "korvane: error: the engine refused standard input: "
         'invalid type: string "7", expected i64 at line 1 column 17'),
        (["-"], "{}", "korvane: error: the engine refused standard input: "
         "missing field `bandit_id` at line 1 column 1"),
        (["-"], b"\xff\xfe", "korvane: error: standard input is not UTF-8 text"),
        (["-", "-x", "3,9"], three_arm_doc(), "korvane: error: pull refused: "
         "All arms excluded or inactive"),
        (["-q", str(2**32)], None,
         "korvane: error: argument -q/--query-length: must be below 2**32 (see --help)"),
        (["-s", "-1"], None, "korvane: error: argument -s/--seed: must not be negative: -1 "
         "(see --help)"),
        (["-x", str(2**31)], None, "korvane: error: argument -x/--exclude: "
         f"arm ids must fit in 32 bits: '{2**31}' (see --help)"),
        (["-n", "0"], None, "korvane: error: argument -n/--pulls: must be at least 1 (see --help)"),
    ],
)
def test_bad_input_is_one_line_and_a_failing_status(args, stdin, expected):
    done = run_cli(*args, stdin=stdin)
    assert done.returncode != 0
    assert done.stderr.decode().splitlines() == [expected]
