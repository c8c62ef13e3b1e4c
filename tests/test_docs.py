"""The documentation runs: README.md, every page under docs/ and every script under examples/.

How a page is written so that this test can check it:

- A fenced ``python`` block is run. The blocks of one page run in order, in one namespace, from
  the checkout (as the commands do); keep each well under a second, and write no files.
- A fenced ``output`` block right after a ``python`` or ``sh`` block (only blank lines between)
  is what that block prints on standard output. It is compared line by line, trailing blanks
  ignored, and ``...`` stands for any text (doctest's ELLIPSIS): use it where the last digits of
  a score depend on the platform's maths library.
- A fenced ``sh`` block (``console``, ``bash`` and ``shell`` alike) holds command lines, no
  prompts; ``#`` starts a comment and a trailing backslash continues a line. Each command is
  checked by its first word, from the checkout:

      korvane ARGS, python -m korvane ARGS   run; must exit with 0 (and print an output block)
      make TARGET... [VAR=VALUE]             ``make -n`` knows every target
      [python] SCRIPT ARGS                   SCRIPT is a file of the checkout; every ``-option``
                                             of ARGS appears in it, and the first plain argument
                                             in one of its ``usage:`` lines when it has any
      pip install ARGS                       ``.`` and ``korvane`` are this project, ``.[EXTRA]``
                                             names extras of pyproject.toml, a wheel or sdist
                                             file name carries this version
      anything else                          not run; the checkout's paths in it must exist

- A fenced ``json`` block must parse. Every fence names its language (``text`` for the rest).
- Links between pages, to files of the checkout and to headings (``#anchor``) must resolve.
- Every ``examples/*.py`` says what it shows in its docstring, runs by itself and ends within a
  minute with status 0, having printed something.

Beside an installed wheel (``scripts/dist.sh test`` copies only tests/ and pyproject.toml) the
pages are not there, and the whole file is skipped, saying so. In a checkout, a README.md
without a ``python`` block, or an empty docs/ or examples/, fails rather than checking nothing.
"""

from __future__ import annotations

import ast
import contextlib
import doctest
import io
import json
import os
import re
import shlex
import subprocess
import sys
import tomllib
from dataclasses import dataclass
from pathlib import Path

import pytest

import korvane

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "README.md").is_file():
    pytest.skip("no README.md beside tests/: these tests run next to an installed wheel, without "
                "the documentation", allow_module_level=True)

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
# Linked before they are written; checked like any page once they exist.
NOT_YET_WRITTEN = {"docs/performance.md", "docs/development.md"}
SHELL = {"sh", "console", "bash", "shell"}
# Directories of the checkout: a word starting with one of them names a committed file.
CHECKOUT_DIRS = ("bench/", "docs/", "examples/", "python/", "scripts/", "tests/", "engine/", "mk/",
                 "cmake/", "licenses/")
FENCE = re.compile(r"^( {0,3})(`{3,}|~{3,})\s*([^\s`]*)")


def expect(condition: object, message: str) -> None:
    """Fails with the message alone: the page and line say where to look."""
    if not condition:
        pytest.fail(message, pytrace=False)


@dataclass
class Block:
    page: Path
    line: int  # of the first line inside the fences
    lang: str
    text: str
    output: Block | None = None

    @property
    def where(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def read_blocks(page: Path) -> list[Block]:
    """The page's fenced blocks, each output block attached to the block before it."""
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks: list[Block] = []
    last_end = -2
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence, lang = len(opening[1]), opening[2], opening[3].lower()
        end = next((j for j in range(i + 1, len(lines))
                    if lines[j].strip().startswith(fence) and not lines[j].strip(fence[0] + " ")),
                   None)
        expect(end is not None, f"{page.relative_to(ROOT)}:{i + 1}: the fence is never closed")
        body = [line[indent:] if line[:indent].isspace() else line for line in lines[i + 1:end]]
        block = Block(page, i + 2, lang, "\n".join(body) + "\n")
        expect(lang, f"{block.where}: name the block's language (python, sh, output, json, text)")
        if lang == "output":
            follows = blocks and all(not line.strip() for line in lines[last_end + 1:i])
            expect(follows and blocks[-1].lang in {"python", *SHELL} and not blocks[-1].output,
                   f"{block.where}: an output block belongs right after a python or sh block")
            blocks[-1].output = block
        else:
            blocks.append(block)
        last_end = i = end
        i += 1
    return blocks


def same_output(block: Block, printed: str) -> None:
    assert block.output is not None

    def tidy(text: str) -> str:
        return "".join(line.rstrip() + "\n" for line in text.strip("\n").splitlines())

    shown = tidy(block.output.text)
    if not doctest.OutputChecker().check_output(shown, tidy(printed), doctest.ELLIPSIS):
        pytest.fail(f"{block.where}: the output shown at {block.output.where} is not what the "
                    f"block prints\n--- shown\n{shown}--- printed\n{printed}", pytrace=False)


def commands(block: Block):
    """(line number, words) of each command of a shell block."""
    pending, start = "", block.line
    for number, line in enumerate(block.text.splitlines(), block.line):
        if not pending:
            start = number
        if line.rstrip().endswith("\\"):
            pending += line.rstrip()[:-1] + " "
            continue
        words, pending = shlex.split(pending + line, comments=True), ""
        if words:
            yield start, words


def is_python(word: str) -> bool:
    return re.fullmatch(r"python(3(\.\d+)?)?", Path(word).name) is not None


def check_script(where: str, script: str, args: list[str]) -> None:
    path = ROOT / script
    expect(path.is_file(), f"{where}: {script} is not a file of the checkout")
    text = path.read_text(encoding="utf-8")
    options = [a.strip("[]").split("=")[0] for a in args if a.strip("[").startswith("-")]
    for option in options:
        expect(re.search(re.escape(option) + r"(?![\w-])", text),
               f"{where}: {script} knows no option {option}")
    usages = re.findall(r"usage:.*", text, re.IGNORECASE)
    plain = [a for a in args if not a.strip("[").startswith("-")]
    if usages and plain:
        word = re.compile(rf"(?<![\w-]){re.escape(plain[0])}(?![\w-])")
        expect(any(word.search(usage) for usage in usages),
               f"{where}: {plain[0]!r} is in none of {script}'s usage lines: {usages}")


def check_pip(where: str, args: list[str]) -> None:
    expect(args[:1] == ["install"], f"{where}: only `pip install` is checked")
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    for arg in (a for a in args[1:] if not a.startswith("-") and "=" not in a):
        wanted = re.fullmatch(r"\.\[([\w,-]+)\]", arg)
        archive = re.fullmatch(r"(?:.*/)?korvane-([^-]+)(?:-.*\.whl|\.tar\.gz)", arg)
        if wanted:
            unknown = set(wanted[1].split(",")) - set(extras)
            expect(not unknown, f"{where}: pyproject.toml has no extra {', '.join(unknown)}")
        elif archive:
            expect(archive[1] == korvane.__version__,
                   f"{where}: {arg} is not version {korvane.__version__}")
        else:
            expect(arg in {".", "korvane"}, f"{where}: pip installs something unknown: {arg}")


def run_cli(where: str, args: list[str]) -> str:
    done = subprocess.run([sys.executable, "-m", "korvane", *args], cwd=ROOT, text=True,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120, check=False)
    expect(done.returncode == 0, f"{where}: korvane {shlex.join(args)} failed:\n{done.stderr}")
    return done.stdout


def check_shell_block(block: Block) -> None:
    printed = []
    for number, words in commands(block):
        where = f"{block.page.relative_to(ROOT)}:{number}"
        program, args = words[0], words[1:]
        if is_python(program) and args[:1] == ["-m"]:
            program, args = args[1], args[2:]
        if program == "korvane":
            printed.append(run_cli(where, args))
        elif program == "make":
            pass  # all pages' targets at once: test_make_targets_exist
        elif program == "pip":
            check_pip(where, args)
        elif is_python(program) and args:
            check_script(where, args[0], args[1:])
        elif program.startswith(CHECKOUT_DIRS):
            check_script(where, program, args)
            expect(os.access(ROOT / program, os.X_OK), f"{where}: {program} is not executable")
        else:
            for word in words:
                if word.startswith(CHECKOUT_DIRS) and not any(c in word for c in "*<{"):
                    expect((ROOT / word).exists(), f"{where}: {word} is not in the checkout")
    if block.output:
        expect(printed, f"{block.where}: an output block after commands that do not run")
        same_output(block, "".join(printed))


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_examples_run_and_print_what_they_show(page, monkeypatch):
    blocks = read_blocks(page)
    if page.name == "README.md":
        expect(any(b.lang == "python" for b in blocks), "README.md has no python block to run")
    namespace: dict[str, object] = {"__name__": "__main__"}
    monkeypatch.chdir(ROOT)
    for block in blocks:
        if block.lang == "python":
            # Padded so that a traceback names the page's own line.
            code = compile("\n" * (block.line - 1) + block.text, str(block.page), "exec")
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                exec(code, namespace)  # noqa: S102 - the documentation's own examples
            if block.output:
                same_output(block, printed.getvalue())
        elif block.lang in SHELL:
            check_shell_block(block)
        elif block.lang == "json":
            try:
                json.loads(block.text)
            except ValueError as exc:
                pytest.fail(f"{block.where}: not JSON: {exc}", pytrace=False)


def test_make_targets_exist():
    targets: dict[str, str] = {}
    for page in PAGES:
        for block in (b for b in read_blocks(page) if b.lang in SHELL):
            for number, words in commands(block):
                if words[0] == "make":
                    for target in (w for w in words[1:] if "=" not in w and not w.startswith("-")):
                        targets.setdefault(target, f"{page.relative_to(ROOT)}:{number}")
    expect({"demo", "test"} <= set(targets), "README.md must show `make demo` and `make test`")
    env = {k: v for k, v in os.environ.items()
           if k not in {"MAKEFLAGS", "MFLAGS", "MAKELEVEL", "LD_PRELOAD"}}
    done = subprocess.run(["make", "-n", *targets], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=120, check=False)
    missing = re.search(r"No rule to make target '([^']+)'", done.stderr)
    expect(not missing, f"{targets.get(missing[1] if missing else '')}: make has no target "
           f"{missing[1] if missing else ''}")
    expect(done.returncode == 0, f"make -n {' '.join(targets)} fails:\n{done.stderr}")


def slug(heading: str) -> str:
    """The anchor a repository host gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(page: Path) -> set[str]:
    text = re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.M | re.S)
    seen: dict[str, int] = {}
    found = set()
    for heading in re.findall(r"^#{1,6}\s+(.*?)\s*#*$", text, re.M):
        base = slug(heading)
        found.add(base if base not in seen else f"{base}-{seen[base]}")
        seen[base] = seen.get(base, 0) + 1
    return found


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_links_resolve(page):
    text = re.sub(r"^ {0,3}(```|~~~).*?^ {0,3}\1", "", page.read_text(encoding="utf-8"),
                  flags=re.M | re.S)
    text = re.sub(r"`[^`\n]*`", "", text)
    for target in re.findall(r"\]\(\s*<?([^)\s>]+)>?", text):
        if re.match(r"[a-z][a-z0-9+.-]*:", target):
            continue  # a web address
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        name = file.relative_to(ROOT).as_posix() if file.is_relative_to(ROOT) else str(file)
        if not file.exists() and name in NOT_YET_WRITTEN:
            continue
        expect(file.exists(), f"{page.relative_to(ROOT)}: the link {target} leads nowhere")
        if anchor and file.suffix == ".md":
            expect(anchor in anchors(file), f"{page.relative_to(ROOT)}: {name} has no #{anchor}")


def test_there_is_something_to_check():
    expect(len(PAGES) > 1, "docs/ holds no page")
    expect(EXAMPLES, "examples/ holds no script")


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs_by_itself(example, tmp_path):
    expect(ast.get_docstring(ast.parse(example.read_text(encoding="utf-8"))),
           f"{example.name} does not say what it shows")
    done = subprocess.run([sys.executable, str(example)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60, check=False)
    expect(done.returncode == 0, f"{example.name} failed:\n{done.stderr}")
    expect(done.stdout.strip(), f"{example.name} printed nothing")
