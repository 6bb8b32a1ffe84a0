#!/usr/bin/env python3
"""Single-token mutation testing of the driver layers.

    scripts/mutants.py [--count N] [--seed S] [--survivors] [--list] [PATH ...]

Finds the mutation sites of driver/, directory/ and support/ (or of the given
files or folders) with libclang: comparison operators (< <= > >= == !=
turned into their neighbour), logical operators (&& <-> ||, a dropped !),
integer constants (+1 and -1), boolean literals (true/false, TRUE/FALSE) and
calls whose result is unused (dropped). It draws COUNT of them with SEED,
and for each one writes the mutated source into a copy of the tree under
build/mutants/src, rebuilds that copy in build/mutants/build and runs the
unit, scenario, bench and tools tests against it until one fails. The
working tree and the other build directories are never touched; the copy's
file is restored after every mutant, also on Ctrl-C.

Prints every surviving mutant and the score: caught / (caught + survived),
where mutants that do not compile are left out, and so are the ones listed
in tests/mutants-equivalent.txt (no input tells them apart from the
original; each line says why). Results are kept in build/mutants/results.json,
keyed by the mutated line's text: a run cut short goes on where it stopped,
--survivors also runs the survivors again (after new tests were added), and
--fresh starts over.
"""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYERS = ("driver", "directory", "support")
EQUIVALENT = os.path.join(ROOT, "tests", "mutants-equivalent.txt")
TARGETS = ["ftpm_unit_tests", "ftpm_scenario_tests", "ftpm_bench_tests", "ftpm-recovery"]

try:
    import clang.cindex as ci
except ImportError:  # Debian's python3-clang is installed for the system interpreter
    sys.path.append("/usr/lib/python3/dist-packages")
    import clang.cindex as ci

K = ci.CursorKind
COMPARISONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
BOOLEANS = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}


class Site:
    """One mutant: replace [start, end) of a file by text."""

    def __init__(self, path, start, end, old, new, kind, function):
        self.path, self.start, self.end = path, start, end
        self.old, self.new, self.kind, self.function = old, new, kind, function

    def describe(self, source):
        line_start = source.rfind("\n", 0, self.start) + 1
        line_end = source.find("\n", self.start)
        line = source[line_start:line_end].strip()
        number = source.count("\n", 0, self.start) + 1
        # The occurrence of the same token on its line, for a stable name.
        text = source[line_start:self.start]
        nth = text.count(self.old) + 1
        return number, line, nth

    def key(self, source):
        _, line, nth = self.describe(source)
        # The same line text earlier in the file (a repeated `return FALSE;`)
        # makes the name unique: @2 for its second appearance.
        line_start = source.rfind("\n", 0, self.start) + 1
        earlier = sum(1 for l in source[:line_start].splitlines() if l.strip() == line)
        again = f" @{earlier + 1}" if earlier else ""
        return f"{self.path} | {self.function} | {line} | {self.old} -> {self.new} #{nth}{again}"


def compile_args(build_dir, path):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        commands = json.load(f)
    for entry in commands:
        if os.path.realpath(entry["file"]) == os.path.realpath(path):
            args = entry.get("arguments") or entry["command"].split()
            keep, skip = [], False
            for a in args[1:]:
                if skip:
                    skip = False
                    continue
                if a in ("-o", "-c"):
                    skip = a == "-o"
                    continue
                if os.path.realpath(a) == os.path.realpath(path):
                    continue
                keep.append(a)
            return keep
    # A header: the flags of any driver source.
    for entry in commands:
        if "/directory/" in entry["file"]:
            return compile_args(build_dir, entry["file"])
    raise SystemExit(f"mutants: no compile command for {path}")


def find_sites(path, build_dir):
    """Mutation sites in one file, in source order."""
    rel = os.path.relpath(path, ROOT)
    source = open(path, encoding="utf-8").read()
    data = source.encode()
    args = compile_args(build_dir, path) + (["-x", "c++-header"] if path.endswith(".h") else [])
    tu = ci.Index.create().parse(path, args=args)
    sites = {}

    def add(start, end, old, new, kind, function):
        if data[start:end].decode() != old:
            return  # inside a macro expansion, or the extent is not the token
        sites[(start, new)] = Site(rel, start, end, old, new, kind, function)

    def here(cursor):
        f = cursor.extent.start.file
        return f is not None and os.path.realpath(f.name) == os.path.realpath(path)

    def walk(cursor, parent, function, in_static_assert):
        kind = cursor.kind
        if kind in (K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR, K.FUNCTION_TEMPLATE,
                    K.LAMBDA_EXPR) and here(cursor):
            function = cursor.spelling or function
        if kind == K.STATIC_ASSERT:
            in_static_assert = True
        if here(cursor) and not in_static_assert and function:
            mutate(cursor, parent, function)
        for child in cursor.get_children():
            walk(child, cursor, function, in_static_assert)

    def tokens(cursor):
        return list(cursor.get_tokens())

    def mutate(cursor, parent, function):
        kind = cursor.kind
        if kind == K.BINARY_OPERATOR:
            children = list(cursor.get_children())
            if len(children) != 2:
                return
            end_lhs = children[0].extent.end.offset
            for t in tokens(cursor):
                if t.extent.start.offset >= end_lhs:
                    op = t.spelling
                    s, e = t.extent.start.offset, t.extent.end.offset
                    if op in COMPARISONS:
                        add(s, e, op, COMPARISONS[op], "comparison", function)
                    elif op in LOGICAL:
                        add(s, e, op, LOGICAL[op], "logical", function)
                    break
        elif kind == K.UNARY_OPERATOR:
            ts = tokens(cursor)
            if ts and ts[0].spelling == "!":
                s = ts[0].extent.start.offset
                add(s, s + 1, "!", "", "logical", function)
        elif kind == K.INTEGER_LITERAL:
            ts = tokens(cursor)
            if len(ts) != 1:
                return
            text = ts[0].spelling
            if parent is not None and parent.kind in (K.VAR_DECL, K.FIELD_DECL, K.PARM_DECL):
                prev = data[:ts[0].extent.start.offset].rstrip()
                if prev.endswith(b"["):
                    return  # an array's size
            digits = text.rstrip("uUlL")
            suffix = text[len(digits):]
            try:
                value = int(digits, 0) if not (digits.startswith("0") and digits[1:2].isdigit()) else int(digits, 8)
            except ValueError:
                return
            s, e = ts[0].extent.start.offset, ts[0].extent.end.offset
            hexadecimal = digits.lower().startswith("0x")
            for delta in (1, -1):
                v = value + delta
                if v < 0:
                    continue
                new = ("0x%0*X" % (len(digits) - 2, v) if hexadecimal else str(v)) + suffix
                add(s, e, text, new, "constant", function)
        elif kind == K.CXX_BOOL_LITERAL_EXPR:
            ts = tokens(cursor)
            if len(ts) == 1 and ts[0].spelling in BOOLEANS:
                t = ts[0]
                add(t.extent.start.offset, t.extent.end.offset, t.spelling, BOOLEANS[t.spelling], "boolean", function)
        elif kind == K.DECL_REF_EXPR and cursor.spelling in ("TRUE", "FALSE"):
            ts = tokens(cursor)
            if len(ts) == 1:
                t = ts[0]
                add(t.extent.start.offset, t.extent.end.offset, t.spelling, BOOLEANS[t.spelling], "boolean", function)
        elif kind == K.CALL_EXPR and parent is not None and parent.kind == K.COMPOUND_STMT:
            s, e = cursor.extent.start.offset, cursor.extent.end.offset
            text = data[s:e].decode()
            if "(" in text and not text.startswith(("static_assert", "sizeof")):
                add(s, e, text, "(void)0", "dropped call", function)

    walk(tu.cursor, None, None, False)
    return [sites[k] for k in sorted(sites)]


def layer_files(paths):
    files = []
    for p in paths or LAYERS:
        full = os.path.join(ROOT, p)
        if os.path.isdir(full):
            for name in sorted(os.listdir(full)):
                if name.endswith((".cpp", ".h")):
                    files.append(os.path.join(full, name))
        else:
            files.append(full)
    return files


def load_equivalent():
    """Keys of the mutants listed as equivalent: 'key || reason' per line."""
    keys = {}
    if os.path.exists(EQUIVALENT):
        for line in open(EQUIVALENT, encoding="utf-8"):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, _, reason = line.rpartition(" || ")  # a mutated line may hold " || " itself
            keys[key.strip()] = reason.strip()
    return keys


def sync_copy(copy_dir):
    """The copy holds the working tree's tracked files (only changed files are rewritten)."""
    names = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True).stdout
    for name in names.decode().split("\0"):
        if not name:
            continue
        src, dst = os.path.join(ROOT, name), os.path.join(copy_dir, name)
        if not os.path.isfile(src):
            continue
        data = open(src, "rb").read()
        if os.path.exists(dst) and open(dst, "rb").read() == data:
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


def configure(copy_dir, build_dir):
    env = dict(os.environ, CCACHE_DIR=os.path.join(os.path.dirname(build_dir), "ccache"), CCACHE_BASEDIR=copy_dir)
    # Unoptimised beyond -O1, linked by lld, and without precompiled headers:
    # ccache does not keep objects built with one, and a mutated header
    # rebuilds every test file twice (mutated, then restored from the cache).
    generator = [] if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) else ["-G", "Ninja"]
    subprocess.run(["cmake", "-S", copy_dir, "-B", build_dir] + generator +
                   ["-DCMAKE_BUILD_TYPE=", "-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++",
                    "-DCMAKE_CXX_FLAGS=-O1", "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld",
                    "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                    "-DFTPM_UEFI_BUILD_DIR=", "-DFTPM_PRECOMPILED_HEADERS=OFF"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    return env


def build(build_dir, env, jobs, targets=TARGETS, timeout=600):
    try:
        r = subprocess.run(["ninja", "-C", build_dir, f"-j{jobs}"] + list(targets), env=env, capture_output=True,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return False
    return r.returncode == 0


def test_steps(build_dir, stem):
    """(target to build, command to run) in the order a mutant meets them."""
    unit = os.path.join(build_dir, "tests", "ftpm_unit_tests")
    scenario = os.path.join(build_dir, "tests", "ftpm_scenario_tests")
    bench = os.path.join(build_dir, "bench", "ftpm_bench_tests")
    tool = os.path.join(build_dir, "tools", "ftpm-recovery")
    fast = ["--gtest_fail_fast", "--gtest_brief=1"]
    steps = []
    if stem:
        # The tests named after the mutated file first: most mutants die there.
        steps.append(("ftpm_unit_tests", [unit, f"--gtest_filter=*{stem}*"] + fast))
    steps += [("ftpm_unit_tests", [unit] + fast), ("ftpm_scenario_tests", [scenario] + fast),
              ("ftpm_bench_tests", [bench] + fast),
              ("ftpm-recovery", [sys.executable, os.path.join(ROOT, "tests", "tools", "check_image_tools.py"),
                                 "--tool", tool, "--samples", os.path.join(ROOT, "samples"),
                                 "--work", os.path.join(build_dir, "tools-work")])]
    return steps


def run_steps(steps, limits, build_dir, env, jobs):
    """Builds and runs step by step: 'caught' by the first test that fails or
    overruns, 'survived' when all pass, 'not compiled' when a build fails.
    Only what the next test needs is linked, so a mutant caught early costs
    one link."""
    built = set()
    for (target, cmd), limit in zip(steps, limits):
        if target not in built:
            if not build(build_dir, env, jobs, [target]):
                return "not compiled", None
            built.add(target)
        try:
            r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=limit,
                               start_new_session=True)
        except subprocess.TimeoutExpired:
            return "caught", os.path.basename(cmd[0]) + " (timeout)"
        if r.returncode != 0:
            return "caught", os.path.basename(cmd[0] if "python" not in cmd[0] else cmd[1])
    return "survived", None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="*", help="files or folders (default: driver/ directory/ support/)")
    ap.add_argument("--count", type=int, default=400)
    ap.add_argument("--seed", type=int, default=24)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "mutants"))
    ap.add_argument("--list", action="store_true", help="print the sites and the sample, build nothing")
    ap.add_argument("--survivors", action="store_true", help="run last run's survivors again (after new tests)")
    ap.add_argument("--fresh", action="store_true", help="forget earlier results and run the whole sample")
    args = ap.parse_args()

    work = os.path.abspath(args.work)
    copy_dir, build_dir = os.path.join(work, "src"), os.path.join(work, "build")
    results_path = os.path.join(work, "results.json")
    os.makedirs(copy_dir, exist_ok=True)
    sync_copy(copy_dir)
    env = configure(copy_dir, build_dir)

    sites, sources = [], {}
    for path in layer_files(args.paths):
        copy_path = os.path.join(copy_dir, os.path.relpath(path, ROOT))
        found = find_sites(copy_path, build_dir)
        for s in found:
            s.path = os.path.relpath(path, ROOT)
        sites += found
        sources[os.path.relpath(path, ROOT)] = open(path, encoding="utf-8").read()
    by_kind = {}
    for s in sites:
        by_kind[s.kind] = by_kind.get(s.kind, 0) + 1
    print(f"mutants: {len(sites)} sites in {len(sources)} files (" +
          ", ".join(f"{n} {k}" for k, n in sorted(by_kind.items())) + ")")
    sample = random.Random(args.seed).sample(sites, min(args.count, len(sites)))
    sample.sort(key=lambda s: (s.path, s.start, s.new))
    equivalent = load_equivalent()
    if args.list:
        for s in sample:
            print(s.key(sources[s.path]))
        return 0

    results = {}
    if os.path.exists(results_path) and not args.fresh:
        results = json.load(open(results_path))
    todo = []
    for s in sample:
        key = s.key(sources[s.path])
        # A mutant already run keeps its result (a run cut short goes on where
        # it stopped); --survivors runs the survivors again.
        if key in results and not (args.survivors and results[key]["status"] == "survived"):
            continue
        todo.append((s, key))

    print(f"mutants: baseline build of {build_dir}", flush=True)
    if not build(build_dir, env, args.jobs, timeout=3600):
        raise SystemExit("mutants: the unmutated copy does not build")
    limits = []
    for _, cmd in test_steps(build_dir, None):
        t = time.monotonic()
        if subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
            raise SystemExit(f"mutants: the unmutated tests fail: {' '.join(cmd)}")
        limits.append(max(30.0, 5 * (time.monotonic() - t)))

    interrupted = []

    def stop(signum, frame):
        interrupted.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    print(f"mutants: {len(todo)} of a sample of {len(sample)} (seed {args.seed}) to run", flush=True)
    try:
        for i, (s, key) in enumerate(todo, 1):
            target = os.path.join(copy_dir, s.path)
            original = sources[s.path]
            data = original.encode()
            mutated = data[:s.start] + s.new.encode() + data[s.end:]
            t = time.monotonic()
            try:
                with open(target, "wb") as f:
                    f.write(mutated)
                stem = os.path.splitext(os.path.basename(s.path))[0]
                status, by = run_steps(test_steps(build_dir, stem), [limits[0]] + limits, build_dir, env, args.jobs)
            finally:
                with open(target, "wb") as f:
                    f.write(data)
            results[key] = {"status": status, "by": by, "kind": s.kind,
                            "line": s.describe(original)[0], "seconds": round(time.monotonic() - t, 1)}
            print(f"[{i}/{len(todo)}] {status:12} {s.path}:{results[key]['line']} {s.old!r} -> {s.new!r}"
                  + (f" ({by})" if by else ""), flush=True)
            with open(results_path + ".tmp", "w") as f:
                json.dump(results, f, indent=1, sort_keys=True)
            os.replace(results_path + ".tmp", results_path)
    except KeyboardInterrupt:
        interrupted.append(signal.SIGINT)
        print("mutants: interrupted; the copy's sources are restored", file=sys.stderr)
    finally:
        # Leave the copy's build matching the unmutated sources.
        build(build_dir, env, args.jobs)

    keys = [s.key(sources[s.path]) for s in sample]
    done = [k for k in keys if k in results]
    caught = [k for k in done if results[k]["status"] == "caught"]
    survived = [k for k in done if results[k]["status"] == "survived"]
    listed = [k for k in survived if k in equivalent]
    unlisted = [k for k in survived if k not in equivalent]
    stale = [k for k in equivalent if k in results and results[k]["status"] == "caught"]
    not_compiled = [k for k in done if results[k]["status"] == "not compiled"]
    print()
    for k in unlisted:
        print(f"SURVIVED  {k}  (line {results[k]['line']})")
    for k in stale:
        print(f"CAUGHT BUT LISTED AS EQUIVALENT  {k}")
    scored = len(caught) + len(unlisted)
    score = 100.0 * len(caught) / scored if scored else 100.0
    print(f"\nmutants: {len(done)} of {len(sample)} run (seed {args.seed}, {len(sites)} sites): "
          f"{len(caught)} caught, {len(unlisted)} survived, {len(listed)} equivalent, "
          f"{len(not_compiled)} not compiled")
    print(f"mutants: score {score:.1f} % ({len(caught)} / {scored} non-equivalent mutants caught)")
    return 1 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
