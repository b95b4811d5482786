"""One-line mutation testing of the C++ core.

    python3 tools/mutate.py src/message src/bitstream [--limit N] [--jobs 2]

Copies the repository to a scratch directory, then for each mutant changes
one line of one source file there (an operator flipped, a constant moved by
one, a condition negated, a statement deleted), rebuilds, and runs the fast
tests: the C++ tests, then pytest -x -m "not slow" with the test files most
likely to fail first. A mutant is killed when a test fails (or hangs past
the time limit), survives when all pass, and is stillborn when it does not
compile; the score is killed / (killed + survived). Survivors are listed
with their file, line and change, for a person to judge: a test to write,
or a change that cannot alter behaviour (an equivalent mutant).

A hand-written tool rather than mull: mull needs clang-built tests and a
matching LLVM plugin, while this needs nothing the project does not have.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# Test files to run first for mutants of each folder (the rest follow).
FIRST_TESTS = {
    "src/message": ["test_message.py", "test_scan.py", "test_hostile_input.py",
                    "test_corpus_framing.py"],
    "src/bitstream": ["test_decode_values.py", "test_decode_walk.py",
                      "test_decode_compressed.py"],
    "src/decode": ["test_decode_values.py", "test_decode_walk.py",
                   "test_decode_compressed.py", "test_decode_corpus.py"],
}

SWAPS = [
    (" == ", " != "), (" != ", " == "),
    (" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
    (" && ", " || "), (" || ", " && "),
    (" + ", " - "), (" - ", " + "), (" * ", " / "),
    (" << ", " >> "), (" >> ", " << "),
    (" & ", " | "), (" | ", " & "),
    ("++", "--"),
    ("true", "false"), ("false", "true"),
]
NUMBER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(u|ull|ul|ll)?(?![\w.])")


@dataclass
class Mutant:
    path: str  # relative to the repository
    line: int  # 1-based
    before: str
    after: str
    kind: str

    def describe(self) -> str:
        return f"{self.path}:{self.line} [{self.kind}] {self.before.strip()}  ->  {self.after.strip()}"


def code_part(line: str) -> str:
    """The line without a trailing // comment (string literals kept)."""
    in_string = False
    for i, c in enumerate(line):
        if c == '"' and (i == 0 or line[i - 1] != "\\"):
            in_string = not in_string
        if not in_string and line.startswith("//", i):
            return line[:i]
    return line


def outside_strings(line: str, start: int, length: int) -> bool:
    return line[:start].count('"') % 2 == 0 and line[start + length:].count('"') % 2 == 0


def mutants_of_line(path: str, number: int, line: str, previous: str) -> list[Mutant]:
    stripped = line.strip()
    if (not stripped or stripped.startswith(("//", "#", "*", "/*")) or stripped in ("{", "}", "};")
            or "static_assert" in stripped or stripped.startswith(("namespace", "template", "using"))):
        return []
    code = code_part(line)
    rest = line[len(code):]
    out: list[Mutant] = []

    def add(new_code: str, kind: str) -> None:
        if new_code != code:
            out.append(Mutant(path, number, line, new_code + rest, kind))

    for old, new in SWAPS:
        start = code.find(old)
        while start >= 0:
            # Text concatenation (+ beside a literal) would not compile as -.
            if (outside_strings(code, start, len(old)) and not (old.strip() in "<>" and "template" in code)
                    and not (old in (" + ", " - ") and '"' in code)):
                if not (old in (" * ", " & ") and re.match(r"\s*(const\s+)?[\w:<>]+\s*$", code[:start])):
                    add(code[:start] + new + code[start + len(old):], "operator")
            start = code.find(old, start + 1)
    for match in NUMBER.finditer(code):
        if not outside_strings(code, match.start(), len(match.group(0))):
            continue
        text = match.group(1)
        value = int(text, 16) if text.startswith("0x") else int(text)
        for changed in (value + 1, value - 1):
            if changed < 0:
                continue
            literal = hex(changed) if text.startswith("0x") else str(changed)
            add(code[:match.start(1)] + literal + code[match.end(1):], "constant")
    opening = re.match(r"\s*(?:if|while) \(", code)
    if opening:
        depth, end = 1, opening.end()
        while end < len(code) and depth:
            depth += {"(": 1, ")": -1}.get(code[end], 0)
            end += 1
        if depth == 0:
            inner = code[opening.end():end - 1]
            add(f"{code[:opening.end()]}!({inner}){code[end - 1:]}", "negation")
    if (stripped.endswith(";") and previous.rstrip().endswith((";", "{", "}"))
            and not stripped.startswith(("return", "case", "default"))
            and code.count("(") == code.count(")")
            and not re.match(r"\s*(?:const\s+)?[\w:<>,]+[\s*&]+\w+\s*(=|;|\{|\(|\[)", code)):
        add(re.match(r"\s*", code).group(0) + ";", "deletion")
    return out


# Plain records whose every field the producer assigns: changing a default
# cannot change behaviour, and a header change rebuilds everything.
SKIPPED = {"src/message/bufr_message.h", "src/decode/decoded_value.h"}


def all_mutants(folders: list[str]) -> list[Mutant]:
    mutants: list[Mutant] = []
    for folder in folders:
        for file in sorted((REPO / folder).glob("*.[ch]pp")) + sorted((REPO / folder).glob("*.h")):
            rel = str(file.relative_to(REPO))
            if rel in SKIPPED:
                continue
            in_block_comment = False
            previous = ""
            for number, line in enumerate(file.read_text().splitlines(), start=1):
                if "/*" in line and "*/" not in line:
                    in_block_comment = True
                if in_block_comment:
                    if "*/" in line:
                        in_block_comment = False
                    continue
                mutants.extend(mutants_of_line(rel, number, line, previous))
                previous = line
    return mutants


def run(command: list[str], cwd: Path, env: dict[str, str], timeout: float) -> str:
    """'pass', 'fail' or 'timeout'."""
    try:
        done = subprocess.run(command, cwd=cwd, env=env, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "pass" if done.returncode == 0 else "fail"


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("folders", nargs="+")
    ap.add_argument("--limit", type=int, default=0, help="test a random sample of this many per folder")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=600)
    ap.add_argument("--list", action="store_true", help="only list the mutants")
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args()

    chosen: list[Mutant] = []
    for folder in args.folders:
        folder = folder.rstrip("/")
        found = all_mutants([folder])
        if args.limit and len(found) > args.limit:
            found = sorted(random.Random(args.seed).sample(found, args.limit),
                           key=lambda m: (m.path, m.line))
        chosen.extend(found)
    if args.list:
        for m in chosen:
            print(m.describe())
        print(f"{len(chosen)} mutants")
        return 0

    scratch = Path(tempfile.mkdtemp(prefix="skerrow-mutate-"))
    copy = scratch / "repo"
    shutil.copytree(REPO, copy, ignore=shutil.ignore_patterns("build", ".git", "__pycache__",
                                                              ".hypothesis", ".pytest_cache"))
    build = copy / "build"
    env = dict(os.environ)
    env["PYTHONPATH"] = f"{build}:{copy / 'python'}"
    env.setdefault("SKERROW_SHARED", str(REPO.parent / "shared"))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    subprocess.run(["cmake", "-S", str(copy), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DSKERROW_BUILD_TESTS=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    build_cmd = ["cmake", "--build", str(build), "-j", str(args.jobs)]
    subprocess.run(build_cmd, check=True, stdout=subprocess.DEVNULL)
    if run([str(build / "skerrow_core_tests"), "--gtest_brief=1"], copy, env, args.timeout) != "pass":
        print("the unmutated C++ tests fail", file=sys.stderr)
        return 2

    results = []
    tally = {"killed": 0, "survived": 0, "stillborn": 0}
    for k, m in enumerate(chosen, start=1):
        source = copy / m.path
        original = source.read_text()
        lines = original.split("\n")
        assert lines[m.line - 1] == m.before, m.describe()
        lines[m.line - 1] = m.after
        source.write_text("\n".join(lines))
        started = time.time()
        try:
            built = subprocess.run(build_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if built.returncode != 0:
                verdict = "stillborn"
            else:
                outcome = run([str(build / "skerrow_core_tests"), "--gtest_brief=1"], copy, env,
                              args.timeout)
                if outcome == "pass":
                    folder = str(Path(m.path).parent)
                    first = [f"tests/python/{name}" for name in FIRST_TESTS.get(folder, [])]
                    outcome = run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                   "-m", "not slow", *first, "tests/python"], copy, env, args.timeout)
                verdict = "survived" if outcome == "pass" else "killed"
        finally:
            source.write_text(original)
        tally[verdict] += 1
        results.append({**m.__dict__, "verdict": verdict, "seconds": round(time.time() - started, 1)})
        print(f"[{k}/{len(chosen)}] {verdict:9} {m.describe()}", flush=True)
    # Leave the copy's build matching its sources again.
    subprocess.run(build_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    scored = tally["killed"] + tally["survived"]
    print(f"\nkilled {tally['killed']}, survived {tally['survived']}, stillborn {tally['stillborn']}; "
          f"score {100.0 * tally['killed'] / scored if scored else 0:.1f}%")
    for r in results:
        if r["verdict"] == "survived":
            print("survivor:", Mutant(r["path"], r["line"], r["before"], r["after"], r["kind"]).describe())
    if args.json:
        Path(args.json).write_text(json.dumps({"tally": tally, "results": results}, indent=1))
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
