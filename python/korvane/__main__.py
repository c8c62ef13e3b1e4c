"""Show what the engine does with a sync document: its arms, and how often each one is chosen.

    python -m korvane [FILE] [--pulls N] [--seed S] [--query-length Q] [--exclude IDS]

Without FILE the example document shipped with the package is used; FILE "-" reads standard
input. Bad input ends with one line on standard error and exit status 1 (2 for a bad command
line, as argparse has it).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

from korvane import BanditEngine, __version__, example_document

BAR_WIDTH = 40
PROMPT_WIDTH = 48


class CliError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""


def _non_negative(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive(text: str) -> int:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _query_length(text: str) -> int:
    value = _non_negative(text)
    if value >= 2**32:
        raise argparse.ArgumentTypeError("must be below 2**32")
    return value


def _seed(text: str) -> int:
    value = _non_negative(text)
    if value >= 2**64:
        raise argparse.ArgumentTypeError("must be below 2**64")
    return value


def _id_list(text: str) -> list[int]:
    try:
        ids = [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of arm ids: {text!r}") from None
    # The engine compares exclusions as 32-bit ids; refuse others before any output.
    if any(not -(2**31) <= arm_id < 2**31 for arm_id in ids):
        raise argparse.ArgumentTypeError(f"arm ids must fit in 32 bits: {text!r}")
    return ids


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, like every other error of the tool."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="korvane",
        description="Load a bandit sync document into the engine, list its arms, "
        "and show how often each arm is chosen over many pulls.",
    )
    parser.add_argument(
        "file",
        nargs="?",
        help="sync document (JSON); '-' reads standard input; default: the bundled example",
    )
    parser.add_argument(
        "-n", "--pulls", type=_positive, default=1000, help="number of pulls (default 1000)"
    )
    parser.add_argument(
        "-s",
        "--seed",
        type=_seed,
        help="generator seed (default: derived from the bandit's id and name)",
    )
    parser.add_argument(
        "-q", "--query-length", type=_query_length, help="length of the query, e.g. 120"
    )
    parser.add_argument(
        "-x",
        "--exclude",
        type=_id_list,
        action="append",
        default=[],
        metavar="IDS",
        help="arm ids to leave out, comma-separated; may be repeated",
    )
    parser.add_argument("--version", action="version", version=f"korvane {__version__}")
    return parser


def read_document(file: str | None) -> tuple[str, str]:
    """The document text and a label for it."""
    if file is None:
        return example_document(), "bundled example"
    if file == "-":
        try:
            # Decode strictly ourselves: the stream's own error handler may smuggle bad bytes in.
            return sys.stdin.buffer.read().decode("utf-8"), "standard input"
        except UnicodeDecodeError:
            raise CliError("standard input is not UTF-8 text") from None
    try:
        return Path(file).read_text(encoding="utf-8"), file
    except UnicodeDecodeError:
        raise CliError(f"{file} is not UTF-8 text") from None
    except OSError as exc:
        raise CliError(f"cannot read {file}: {exc.strerror or exc}") from None


def _symbols(stream: TextIO) -> tuple[str, str]:
    """The bar and ellipsis characters, plain ones when the stream cannot encode ours."""
    try:
        "█…".encode(stream.encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        return "#", "..."
    return "█", "…"


def _shorten(text: str, width: int, ellipsis: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= width else text[: width - len(ellipsis)] + ellipsis


def _table(header: Sequence[str], rows: list[Sequence[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        parts = [
            cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            for i, cell in enumerate(cells)
        ]
        return "  " + "  ".join(parts).rstrip()

    return [line(header), line(["-" * w for w in widths]), *(line(row) for row in rows)]


def _latency(value: float | None) -> str:
    return "-" if value is None else f"{value:g} ms"


def describe(engine: BanditEngine, arms: list[dict[str, Any]], label: str, out: TextIO) -> None:
    _, ellipsis = _symbols(out)
    active = sum(1 for arm in arms if arm["is_active"])
    print(f"Bandit {engine.bandit_id} {engine.bandit_name!r} ({label})", file=out)
    print(
        f"  {engine.num_arms} arms ({active} active), {engine.dimensions} posterior dimensions",
        file=out,
    )
    print(file=out)
    rows = [
        [
            str(arm["arm_id"]),
            arm["model_name"],
            arm["model_provider"],
            "yes" if arm["is_active"] else "no",
            _latency(arm["avg_latency_last_n"]),
            _shorten(arm["system_prompt"], PROMPT_WIDTH, ellipsis),
        ]
        for arm in arms
    ]
    header = ["arm", "model", "provider", "active", "latency", "system prompt"]
    for text in _table(header, rows, right={0, 4}):
        print(text, file=out)


def chart(arms: list[dict[str, Any]], counts: list[int], excluded: set[int], out: TextIO) -> None:
    bar, _ = _symbols(out)
    total = sum(counts)
    most = max(counts) or 1
    labels = [f"{arm['arm_id']} {arm['model_name']}" for arm in arms]
    width = max(len(label) for label in labels)
    for arm, label, count in zip(arms, labels, counts):
        if not arm["is_active"]:
            note = "inactive"
        elif arm["arm_id"] in excluded:
            note = "excluded"
        else:
            note = f"{count:>{len(str(total))}}  {100.0 * count / total:5.1f}%"
        length = round(BAR_WIDTH * count / most)
        print(f"  {label.ljust(width)}  {(bar * length).ljust(BAR_WIDTH)}  {note}", file=out)


def run(args: argparse.Namespace, out: TextIO) -> None:
    text, label = read_document(args.file)
    excluded = [arm_id for group in args.exclude for arm_id in group]
    try:
        engine = BanditEngine(text, seed=args.seed)
    except ValueError as exc:
        raise CliError(f"the engine refused {label}: {exc}") from None
    arms = json.loads(engine.get_arms_json())
    describe(engine, arms, label, out)

    counts = [0] * len(arms)
    first = ""
    for index in range(args.pulls):
        try:
            result = engine.pull(query_length=args.query_length, exclude_ids=excluded or None)
        except ValueError as exc:
            raise CliError(f"pull refused: {exc}") from None
        if index == 0:
            first = result
        counts[json.loads(result)["arm_index"]] += 1

    query = "unknown" if args.query_length is None else str(args.query_length)
    print(file=out)
    print(f"First pull (query length {query}):", file=out)
    print(f"  {first}", file=out)
    print(file=out)
    print(f"Choices over {args.pulls} pulls:", file=out)
    chart(arms, counts, set(excluded), out)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        run(args, sys.stdout)
    except CliError as exc:
        print(f"korvane: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): silence the flush at exit as well.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as exc:  # the engine's internal failures derive from BaseException
        if isinstance(exc, (SystemExit, GeneratorExit)):
            raise
        print(f"korvane: internal error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
