#!/usr/bin/env python3
"""Coverage report of the instrumented host build, and the floors it must keep.

    scripts/coverage.py [--build build/host-coverage] [--floors scripts/coverage-floors.toml] [--check]

Merges the raw profiles the tests left in BUILD/profiles (llvm-profdata),
reads the line, branch and function counts of every instrumented program in
BUILD (llvm-cov), and prints per folder and per file the lines, branches and
functions reached. Lines and branches named in the floors file as
unreachable are left out of the figures; each must really be unreached.
HTML with per-line counts goes to BUILD/coverage-html/index.html.

With --check the exit status is 1 when a folder is below its floor, when a
named exclusion is reached after all, or when it names nothing (its file,
anchor or source text has changed).
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Sources that are not reported: tests, the bench programs and system
# headers; files generated in a build directory are left out by entry().
IGNORE = r"(^/usr/|/tests/|/bench/)"


def tool(name):
    """llvm-cov or llvm-profdata as Debian's llvm installs it (versioned names)."""
    for candidate in [name] + [f"{name}-{v}" for v in range(20, 13, -1)]:
        path = shutil.which(candidate)
        if path:
            return path
    raise SystemExit(f"coverage: {name} not found (Debian package llvm)")


def instrumented_programs(build):
    found = []
    for path in sorted(glob.glob(os.path.join(build, "**", "*"), recursive=True)):
        if "CMakeFiles" in path or not os.path.isfile(path) or not os.access(path, os.X_OK):
            continue
        with open(path, "rb") as f:
            head = f.read(4)
            if head != b"\x7fELF":
                continue
            if b"__llvm_covmap" in f.read():
                found.append(path)
    return found


class FileCounts:
    def __init__(self, path):
        self.path = path
        self.lines = {}  # line number -> execution count
        self.branches = []  # [line, col, end line, end col, true count, false count]
        self.functions = (0, 0)  # (covered, count)
        self.excluded_lines = set()
        self.excluded_outcomes = set()  # (index into branches, "true" | "false")

    def line_figures(self):
        total = [n for n in self.lines if n not in self.excluded_lines]
        return sum(1 for n in total if self.lines[n] > 0), len(total)

    def branch_figures(self):
        covered = total = 0
        for i, b in enumerate(self.branches):
            for outcome, count in (("true", b[4]), ("false", b[5])):
                if (i, outcome) in self.excluded_outcomes:
                    continue
                total += 1
                covered += count > 0
        return covered, total

    def missed(self):
        lines = sorted(n for n, c in self.lines.items() if c == 0 and n not in self.excluded_lines)
        outcomes = []
        for i, b in enumerate(self.branches):
            for outcome, count in (("true", b[4]), ("false", b[5])):
                if count == 0 and (i, outcome) not in self.excluded_outcomes:
                    outcomes.append((b[0], b[1], b[2], b[3], outcome))
        return lines, outcomes

    def condition_text(self, b):
        """The source text of a branch's condition (one line), for naming it."""
        line, col, end_line, end_col = b[:4]
        text = open(os.path.join(ROOT, self.path), encoding="utf-8").read().splitlines()[line - 1]
        return text[col - 1:end_col - 1] if end_line == line else text[col - 1:] + " ..."


def read_counts(build, profdata, programs):
    cov = tool("llvm-cov")
    objects = [programs[0]] + [a for p in programs[1:] for a in ("-object", p)]
    common = ["-instr-profile", profdata, "-ignore-filename-regex", IGNORE]
    files = {}

    def entry(path):
        rel = os.path.relpath(os.path.realpath(path), ROOT)
        if rel.startswith(("..", "build/")):
            return FileCounts(rel)  # counted nowhere
        return files.setdefault(rel, FileCounts(rel))

    lcov = subprocess.run([cov, "export", "-format=lcov"] + common + objects, check=True, capture_output=True,
                          text=True).stdout
    current = None
    for line in lcov.splitlines():
        if line.startswith("SF:"):
            current = entry(line[3:])
        elif line.startswith("DA:"):
            number, count = line[3:].split(",")[:2]
            current.lines[int(number)] = max(current.lines.get(int(number), 0), int(count))
    data = json.loads(subprocess.run([cov, "export", "-format=text"] + common + objects, check=True,
                                     capture_output=True, text=True).stdout)
    for f in data["data"][0]["files"]:
        counts = entry(f["filename"])
        branches = list(f.get("branches", []))
        for expansion in f.get("expansions", []):
            branches += expansion.get("branches", [])
        # A template's instantiations each list the branches of its source:
        # an outcome counts as reached when any instantiation reached it.
        merged = {}
        for b in branches:
            key = tuple(b[:4])
            true_count, false_count = merged.get(key, (0, 0))
            merged[key] = (true_count + b[4], false_count + b[5])
        counts.branches = [list(k) + list(v) for k, v in sorted(merged.items())]
        fn = f["summary"]["functions"]
        counts.functions = (fn["covered"], fn["count"])
    return files


def html(build, profdata, programs):
    out = os.path.join(build, "coverage-html")
    shutil.rmtree(out, ignore_errors=True)
    objects = [programs[0]] + [a for p in programs[1:] for a in ("-object", p)]
    subprocess.run([tool("llvm-cov"), "show", "-format=html", "-output-dir", out, "-instr-profile", profdata,
                    "-ignore-filename-regex", IGNORE, "-show-branches=count", "-show-line-counts-or-regions",
                    "-project-title=ftpm-recovery"] + objects, check=True)
    return os.path.join(out, "index.html")


def anchor_line(source_lines, where, text):
    """The first line at or after the first line holding `where` that holds `text` (1-based), or None."""
    start = next((i for i, l in enumerate(source_lines) if where in l), None) if where else 0
    if start is None:
        return None
    return next((i + 1 for i in range(start, len(source_lines)) if text in source_lines[i]), None)


def exclude_lines(counts, first, last, name, problems):
    """Leaves out the code lines first..last; each must be unreached."""
    code = [n for n in range(first, last + 1) if n in counts.lines]
    if not code:
        problems.append(f"exclusion names no code line: {name} (lines {first}-{last})")
    for n in code:
        if counts.lines[n] > 0:
            problems.append(f"excluded line is reached ({counts.lines[n]} times): {name} (line {n})")
        else:
            counts.excluded_lines.add(n)


def apply_exclusions(files, exclusions):
    """Marks each named line or branch outcome as left out; returns the problems found.

    An entry names a line by its source text (`line`), the first line holding
    it at or after the first line holding `in` (a function's signature, say).
    With `branch` (the condition's source text) it leaves out that
    condition's `outcome` ("true", "false" or "both"); with `through` it also
    leaves out the lines after it (after the condition's line, for a branch)
    up to the first line holding that text: the body the outcome would run.
    """
    problems = []
    for ex in exclusions:
        name = f"{ex['file']}: {ex.get('in', '')} / {ex['line']!r}"
        counts = files.get(ex["file"])
        path = os.path.join(ROOT, ex["file"])
        if not ex.get("reason"):
            problems.append(f"exclusion gives no reason: {name}")
        if counts is None or not os.path.exists(path):
            problems.append(f"exclusion names a file without coverage data: {name}")
            continue
        source_lines = open(path, encoding="utf-8").read().splitlines()
        number = anchor_line(source_lines, ex.get("in"), ex["line"])
        if number is None:
            problems.append(f"exclusion names no line (the source changed?): {name}")
            continue
        last = number
        if "through" in ex:
            last = next((i + 1 for i in range(number - 1, len(source_lines)) if ex["through"] in source_lines[i]), None)
            if last is None:
                problems.append(f"exclusion's 'through' text is not found: {name}")
                continue
        if "branch" not in ex:
            exclude_lines(counts, number, last, name, problems)
            continue
        if last > number:
            exclude_lines(counts, number + 1, last, name, problems)
        condition, outcome = ex["branch"], ex.get("outcome", "both")
        text = source_lines[number - 1]
        matches = [i for i, b in enumerate(counts.branches)
                   if b[0] == number and b[2] == number and text[b[1] - 1:b[3] - 1] == condition]
        if len(matches) != 1:
            problems.append(f"exclusion names {len(matches)} branches for {condition!r}: {name} (line {number})")
            continue
        b = counts.branches[matches[0]]
        for which, count in (("true", b[4]), ("false", b[5])):
            if outcome not in (which, "both"):
                continue
            if count > 0:
                problems.append(f"excluded branch {condition!r} is {which} {count} times: {name} (line {number})")
            else:
                counts.excluded_outcomes.add((matches[0], which))
    return problems


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def cell(covered, total):
    return f"{percent(covered, total):6.1f} % {covered:>5}/{total:<5}"


def folder_of(path):
    return path.split("/")[0] + "/" if "/" in path else "./"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host-coverage"))
    ap.add_argument("--floors", default=os.path.join(ROOT, "scripts", "coverage-floors.toml"))
    ap.add_argument("--check", action="store_true", help="fail when a floor is not kept")
    ap.add_argument("--no-html", action="store_true")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    raw = glob.glob(os.path.join(build, "profiles", "*.profraw"))
    if not raw:
        raise SystemExit(f"coverage: no profiles in {build}/profiles; run the tests first (make coverage)")
    programs = instrumented_programs(build)
    profdata = os.path.join(build, "coverage.profdata")
    subprocess.run([tool("llvm-profdata"), "merge", "-sparse", "-o", profdata] + raw, check=True)
    files = read_counts(build, profdata, programs)
    floors = tomllib.load(open(args.floors, "rb"))
    problems = apply_exclusions(files, floors.get("exclude", []))

    folders = floors.get("folders", {})
    leave_out = {f: set(spec.get("leave_out", [])) for f, spec in folders.items()}
    print(f"Coverage of the unit, scenario, tools and bench tests ({len(raw)} profiles, {len(programs)} programs)")
    print(f"{'':46}{'lines':>19}  {'branches':>19}  {'functions':>19}")
    # A file counts in the deepest folder of the floors file that holds it
    # (so a floor may name a folder inside another), else in its top folder.
    def group_of(path):
        held = [f for f in folders if path.startswith(f)]
        return max(held, key=len) if held else folder_of(path)

    report_folders = sorted({group_of(p) for p in files})
    figures = {}
    for folder in report_folders:
        members = sorted(p for p in files if group_of(p) == folder)
        sums = {}
        for part, names in (("all", members), ("floor", [p for p in members
                                                          if os.path.basename(p) not in leave_out.get(folder, ())])):
            lc = sum(files[p].line_figures()[0] for p in names)
            lt = sum(files[p].line_figures()[1] for p in names)
            bc = sum(files[p].branch_figures()[0] for p in names)
            bt = sum(files[p].branch_figures()[1] for p in names)
            fc = sum(files[p].functions[0] for p in names)
            ft = sum(files[p].functions[1] for p in names)
            sums[part] = (lc, lt, bc, bt, fc, ft)
        figures[folder] = sums["floor"]
        lc, lt, bc, bt, fc, ft = sums["all"]
        print(f"{folder:46}{cell(lc, lt)}  {cell(bc, bt)}  {cell(fc, ft)}")
        if leave_out.get(folder):
            lc, lt, bc, bt, fc, ft = sums["floor"]
            print(f"{'  without ' + ', '.join(sorted(leave_out[folder])):46.46}"
                  f"{cell(lc, lt)}  {cell(bc, bt)}  {cell(fc, ft)}")
        for p in members:
            c = files[p]
            mark = " (left out)" if os.path.basename(p) in leave_out.get(folder, ()) else ""
            excluded = len(c.excluded_lines) + len(c.excluded_outcomes)
            note = f"  [{excluded} named]" if excluded else ""
            print(f"  {(p + mark):44.44}{cell(*c.line_figures())}  {cell(*c.branch_figures())}  "
                  f"{cell(*c.functions)}{note}")
    print()

    failed = False
    for folder, spec in folders.items():
        if folder not in figures:
            print(f"FLOOR {folder}: no instrumented file in this folder")
            failed = True
            continue
        lc, lt, bc, bt, _, _ = figures[folder]
        for what, covered, total in (("lines", lc, lt), ("branches", bc, bt)):
            if what in spec and percent(covered, total) < spec[what]:
                failed = True
                print(f"FLOOR {folder}: {what} {percent(covered, total):.1f} % is below {spec[what]} %")
                for p in sorted(files):
                    if group_of(p) == folder and os.path.basename(p) not in leave_out[folder]:
                        lines, outcomes = files[p].missed()
                        if what == "lines" and lines:
                            print(f"  {p}: lines not reached: {', '.join(map(str, lines))}")
                        if what == "branches" and outcomes:
                            print(f"  {p}: branch outcomes not reached:")
                            for b in outcomes:
                                print(f"    line {b[0]}: {files[p].condition_text(b)!r} {b[4]}")
    for problem in problems:
        print(f"EXCLUSION {problem}")
    failed = failed or bool(problems)
    if not args.no_html:
        print(f"coverage: HTML report in {html(build, profdata, programs)}")
    if args.check:
        print("coverage: floors " + ("NOT kept" if failed else "kept") + f" ({args.floors})")
        return 1 if failed else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
