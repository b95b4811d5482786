"""One-line mutation testing of the C++ core.

    python3 tools/mutate.py src/message src/bitstream [--limit N] [--seed S]
                            [--json FILE [--resume]] [--quick] [--mutant ID]

Copies the repository to a scratch directory, then for each mutant changes
one line of one source file there (an operator flipped, a constant moved by
one, a condition negated, a statement deleted), rebuilds, and runs the
tests. A mutant is killed when a test fails (or hangs past the time limit),
survives when all pass, and is stillborn when it does not compile; the
score is killed / (killed + survived). Survivors are listed with their id
(path:line:n, n counting the mutants of that line), for a person to judge:
a test to write, or a change that cannot alter behaviour (an equivalent
mutant).

Keeping a mutant cheap without weakening the verdict:
- The build is -O1 without debug info: it compiles in about half the time
  of RelWithDebInfo and, unlike -O0, is still optimised enough for the
  corpus tests to be quick; every code path is the same. Only the two
  targets the tests use are rebuilt: the extension module and the C++
  test binary.
- The tests run in stages, each stopping at the first failure (-x): the
  C++ tests; then the Python test files that exercise the mutated folder,
  most likely to fail first (OBSERVERS below); then, for a mutant that
  survived those, every other fast Python test file except the table
  loader tests, which never reach the decoder, the message parser or the
  bit reader (BLIND). A mutant is only called a survivor after the whole
  suite it can reach has passed, so the verdict is the full suite's.
  --quick skips the last stage, for a first pass; --recheck FILE then
  runs that stage on the survivors a quick pass left in FILE.
- --limit N tests the first N of the folder's mutants shuffled with
  --seed, so a run is reproducible and a larger N extends a smaller one.
  With --json the results are written after every mutant, and --resume
  skips the mutants already in that file.
- The time limit for each stage is five times what the unmutated code
  takes (at least 20 s), so a mutant that loops costs seconds, not the
  default ten minutes.
- --workdir keeps the scratch copy and its build for the next run, which
  then rebuilds only what changed since (a new test, say).

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
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# The Python test files that exercise each folder, most likely to fail first.
OBSERVERS = {
    "src/message": ["test_message.py", "test_hostile_input.py", "test_scan.py", "test_module.py",
                    "test_messages.py", "test_corpus_framing.py", "test_decode_values.py",
                    "test_decode_corpus.py", "test_messages_corpus.py"],
    "src/bitstream": ["test_decode_values.py", "test_decode_walk.py", "test_decode_compressed.py",
                      "test_hostile_input.py", "test_decode_bitmaps.py", "test_structure.py",
                      "test_messages.py", "test_decode_corpus.py"],
    "src/decode": ["test_decode_values.py", "test_decode_walk.py", "test_decode_compressed.py",
                   "test_decode_bitmaps.py", "test_structure.py", "test_hostile_input.py",
                   "test_messages.py", "test_module.py", "test_decode_corpus.py",
                   "test_messages_corpus.py", "test_columns_eccodes.py", "test_decode_cli.py"],
}
# Table loader tests: they load and expand tables and never decode a message.
BLIND = ["test_tables_bad_input.py", "test_tables_cli.py", "test_tables_expand.py"]

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
    ordinal: int = 1  # which of the line's mutants

    @property
    def id(self) -> str:
        return f"{self.path}:{self.line}:{self.ordinal}"

    def describe(self) -> str:
        return f"{self.id} [{self.kind}] {self.before.strip()}  ->  {self.after.strip()}"


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
    for ordinal, mutant in enumerate(out, start=1):
        mutant.ordinal = ordinal
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


def choose(folders: list[str], limit: int, seed: int) -> list[Mutant]:
    chosen: list[Mutant] = []
    for folder in folders:
        # folder=N gives that folder its own limit.
        folder, _, own = folder.partition("=")
        limit = int(own) if own else limit
        found = all_mutants([folder.rstrip("/")])
        if limit and len(found) > limit:
            random.Random(seed).shuffle(found)
            # Kept in shuffled order: a run stopped early is still a random sample.
            found = found[:limit]
        chosen.extend(found)
    # A folder may be named twice (src/decode=50 ... src/decode=200, to test
    # a first share of it early): each mutant once, where it first comes.
    seen: set[str] = set()
    return [m for m in chosen if not (m.id in seen or seen.add(m.id))]


class Bench:
    """The scratch copy, its build and the test stages."""

    def __init__(self, jobs: int, workdir: str | None) -> None:
        self.keep = workdir is not None
        self.scratch = Path(workdir) if workdir else Path(tempfile.mkdtemp(prefix="skerrow-mutate-"))
        self.copy = self.scratch / "repo"
        sync(REPO, self.copy)
        build = self.copy / "build"
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = f"{build}:{self.copy / 'python'}"
        self.env.setdefault("SKERROW_SHARED", str(REPO.parent / "shared"))
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        subprocess.run(["cmake", "-S", str(self.copy), "-B", str(build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1 -g0",
                        "-DSKERROW_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, stdout=subprocess.DEVNULL)
        self.build_cmd = ["cmake", "--build", str(build), "-j", str(jobs),
                          "--target", "_skerrow", "skerrow_core_tests"]
        subprocess.run(self.build_cmd, check=True, stdout=subprocess.DEVNULL)
        self.cpp = [str(build / "skerrow_core_tests"), "--gtest_brief=1"]
        self.all_files = sorted(p.name for p in (self.copy / "tests/python").glob("test_*.py"))
        self.limits: dict[str, float] = {}

    def pytest(self, files: list[str]) -> list[str]:
        return [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                *[f"tests/python/{name}" for name in files]]

    def stages(self, folder: str, full: bool) -> list[tuple[str, list[str]]]:
        first = [name for name in OBSERVERS.get(folder, []) if name in self.all_files]
        rest = [name for name in self.all_files if name not in first and name not in BLIND]
        out = [("cpp", self.cpp), (f"{folder} observers", self.pytest(first))]
        if full and rest:
            out.append((f"{folder} rest", self.pytest(rest)))
        return out

    def calibrate(self, folders: list[str], full: bool) -> bool:
        """Time the stages on the unmutated code; False when one fails."""
        for folder in folders:
            for name, command in self.stages(folder, full):
                if name in self.limits:
                    continue
                started = time.time()
                if run(command, self.copy, self.env, 3600) != "pass":
                    print(f"the unmutated code fails stage {name}", file=sys.stderr)
                    return False
                self.limits[name] = max(20.0, 5 * (time.time() - started))
        return True

    def verdict(self, m: Mutant, full: bool, only_rest: bool = False) -> str:
        source = self.copy / m.path
        original = source.read_text()
        lines = original.split("\n")
        assert lines[m.line - 1] == m.before, m.describe()
        lines[m.line - 1] = m.after
        source.write_text("\n".join(lines))
        try:
            built = subprocess.run(self.build_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if built.returncode != 0:
                return "stillborn"
            stages = self.stages(str(Path(m.path).parent), full)
            if only_rest:
                stages = stages[2:]
            for name, command in stages:
                if run(command, self.copy, self.env, self.limits[name]) != "pass":
                    return "killed"
            return "survived"
        finally:
            source.write_text(original)

    def close(self) -> None:
        if not self.keep:
            shutil.rmtree(self.scratch, ignore_errors=True)


SKIP_COPY = {"build", ".git", "__pycache__", ".hypothesis", ".pytest_cache"}


def sync(source: Path, target: Path) -> None:
    """Makes `target` a copy of the repository at `source`, rewriting only the
    files that differ: a kept build then rebuilds only what changed (a copy
    with the old time stamp could look older than a mutant's objects)."""
    for path in source.rglob("*"):
        rel = path.relative_to(source)
        if SKIP_COPY & set(rel.parts) or not path.is_file():
            continue
        dest = target / rel
        content = path.read_bytes()
        if not dest.is_file() or dest.read_bytes() != content:
            dest.parent.mkdir(parents=True, exist_ok=True)
            dest.write_bytes(content)
            shutil.copymode(path, dest)


def wilson(killed: int, total: int, z: float = 1.96) -> tuple[float, float]:
    """95% interval of a proportion that stays inside [0, 1] for small samples."""
    if not total:
        return 0.0, 0.0
    p = killed / total
    centre = (p + z * z / (2 * total)) / (1 + z * z / total)
    spread = z / (1 + z * z / total) * (p * (1 - p) / total + z * z / (4 * total * total)) ** 0.5
    return centre - spread, centre + spread


def summary(results: list[dict]) -> None:
    folders = sorted({str(Path(r["path"]).parent) for r in results})
    for folder in folders:
        tally = {"killed": 0, "survived": 0, "stillborn": 0}
        for r in results:
            if str(Path(r["path"]).parent) == folder:
                tally[r["verdict"]] += 1
        scored = tally["killed"] + tally["survived"]
        low, high = wilson(tally["killed"], scored)
        print(f"{folder}: killed {tally['killed']}, survived {tally['survived']}, "
              f"stillborn {tally['stillborn']}; score "
              f"{100.0 * tally['killed'] / scored if scored else 0:.1f}% "
              f"(95% interval {100 * low:.1f}-{100 * high:.1f}%)")
    for r in results:
        if r["verdict"] == "survived":
            mutant = Mutant(r["path"], r["line"], r["before"], r["after"], r["kind"], r["ordinal"])
            print(f"survivor{'' if r.get('checked') == 'all' else ' (quick)'}:", mutant.describe())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("folders", nargs="*", help="folder, or folder=N for its own --limit")
    ap.add_argument("--limit", type=int, default=0, help="test this many per folder, chosen by --seed")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--list", action="store_true", help="only list the mutants")
    ap.add_argument("--json", help="write the results here, after every mutant")
    ap.add_argument("--resume", action="store_true", help="skip the mutants already in --json")
    ap.add_argument("--quick", action="store_true", help="skip the last test stage")
    ap.add_argument("--recheck", action="store_true",
                    help="run the last stage on the quick survivors in --json")
    ap.add_argument("--workdir", help="keep the scratch copy and its build here, for the next run")
    ap.add_argument("--mutant", action="append", default=[], help="test only this id (path:line:n)")
    args = ap.parse_args()

    if args.mutant:
        wanted = set(args.mutant)
        folders = sorted({str(Path(i.split(":")[0]).parent) for i in wanted})
        chosen = [m for m in all_mutants(folders) if m.id in wanted]
        missing = wanted - {m.id for m in chosen}
        if missing:
            print("no such mutant:", ", ".join(sorted(missing)), file=sys.stderr)
            return 2
    else:
        chosen = choose(args.folders, args.limit, args.seed)
    if args.list:
        for m in chosen:
            print(m.describe())
        print(f"{len(chosen)} mutants")
        return 0

    results: list[dict] = []
    if args.json and (args.resume or args.recheck) and Path(args.json).is_file():
        results = json.loads(Path(args.json).read_text())["results"]
    if args.recheck:
        todo = [r for r in results if r["verdict"] == "survived" and r.get("checked") != "all"]
        chosen = [Mutant(r["path"], r["line"], r["before"], r["after"], r["kind"], r["ordinal"])
                  for r in todo]
    else:
        done = {r["id"] for r in results}
        chosen = [m for m in chosen if m.id not in done]

    def save() -> None:
        if args.json:
            Path(args.json).write_text(json.dumps({"results": results}, indent=1))

    # A kill restores the mutated line on the way out, as an error does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    bench = Bench(args.jobs, args.workdir)
    try:
        if not bench.calibrate(sorted({str(Path(m.path).parent) for m in chosen}),
                               args.recheck or not args.quick):
            return 2
        for k, m in enumerate(chosen, start=1):
            started = time.time()
            if args.recheck:
                verdict = bench.verdict(m, True, only_rest=True)
                record = next(r for r in results if r["id"] == m.id)
                record.update(verdict=verdict, checked="all")
            else:
                verdict = bench.verdict(m, not args.quick)
                results.append({**m.__dict__, "id": m.id, "verdict": verdict,
                                "checked": "quick" if args.quick else "all",
                                "seconds": round(time.time() - started, 1)})
            save()
            print(f"[{k}/{len(chosen)}] {verdict:9} {time.time() - started:5.1f}s {m.describe()}",
                  flush=True)
    finally:
        bench.close()
    print()
    summary(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
