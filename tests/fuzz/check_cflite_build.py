#!/usr/bin/env python3
"""Runs .clusterfuzzlite/build.sh as OSS-Fuzz and ClusterFuzzLite run it, with
Debian's clang and libFuzzer, and checks what it leaves in $OUT.

    check_cflite_build.py --dir DIR [--sanitizer address|undefined]

DIR holds the contract's folders: DIR/src/ftpm-recovery (a link to this
repository), DIR/work (the build), DIR/out (emptied first) and DIR/seeds, where
each target's seed zip is unpacked. Checked:

- every fuzz target of tests/fuzz/ is in $OUT and nothing else is but their
  seed zips and the targets' .options and .dict files;
- each seed zip holds exactly the files of tests/fuzz/corpus/<target>/, byte for
  byte, and each .options and .dict file is the repository's;
- each target runs over its unpacked seeds (-runs=0, with the flags of its
  .options file), reads every one of them and exits with status 0.

The seeds stay unpacked in DIR/seeds/<target> for the short fuzz runs of the
test suite. Prints one line per target; exit status 1 on any failure.
"""

import argparse
import configparser
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
FUZZ = REPO / "tests" / "fuzz"

# The compiler flags of the service's builds, for Debian's clang: the
# sanitizers of the build, and the coverage instrumentation libFuzzer needs.
SANITIZER_FLAGS = {
    "address": "-fsanitize=address,undefined -fno-sanitize-recover=all",
    "undefined": "-fsanitize=undefined -fno-sanitize-recover=all",
}
COMMON_FLAGS = "-O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=fuzzer-no-link"


def targets():
    return sorted(p.stem for p in FUZZ.glob("*.cpp"))


def options_flags(path):
    """The [libfuzzer] section of an .options file as libFuzzer flags."""
    if not path.exists():
        return []
    parser = configparser.ConfigParser()
    parser.read(path)
    if not parser.has_section("libfuzzer"):
        return []
    return [f"-{key}={value}" for key, value in parser.items("libfuzzer")]


def run_build(args, src, out, work):
    env = dict(os.environ)
    flags = f"{COMMON_FLAGS} {SANITIZER_FLAGS[args.sanitizer]}"
    env.update(
        CC="clang",
        CXX="clang++",
        CFLAGS=flags,
        CXXFLAGS=flags,
        LIB_FUZZING_ENGINE="-fsanitize=fuzzer",
        SANITIZER=args.sanitizer,
        FUZZING_ENGINE="libfuzzer",
        FUZZING_LANGUAGE="c++",
        SRC=str(src),
        OUT=str(out),
        WORK=str(work),
    )
    # As the service's Dockerfile has it: build.sh in $SRC, run from the
    # repository's folder.
    shutil.copy(REPO / ".clusterfuzzlite" / "build.sh", src / "build.sh")
    result = subprocess.run(["bash", "-eu", str(src / "build.sh")], cwd=src / "ftpm-recovery", env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout[-6000:])
        print(f"build.sh failed with status {result.returncode}")
        return False
    return True


def check_out(out, seeds):
    """Checks $OUT; returns the problems found."""
    problems = []
    expected = set()
    for name in targets():
        binary = out / name
        expected.add(name)
        if not binary.is_file() or not os.access(binary, os.X_OK):
            problems.append(f"{name}: no executable target in $OUT")
        archive = out / f"{name}_seed_corpus.zip"
        expected.add(archive.name)
        corpus = {p.name: p.read_bytes() for p in (FUZZ / "corpus" / name).iterdir() if p.is_file()}
        if not archive.is_file():
            problems.append(f"{name}: no {archive.name} in $OUT")
        else:
            with zipfile.ZipFile(archive) as z:
                packed = {Path(i.filename).name: z.read(i) for i in z.infolist() if not i.is_dir()}
            missing = sorted(set(corpus) - set(packed))
            extra = sorted(set(packed) - set(corpus))
            changed = sorted(n for n in set(corpus) & set(packed) if corpus[n] != packed[n])
            for what, names in (("missing", missing), ("not in the corpus", extra), ("changed", changed)):
                if names:
                    problems.append(f"{name}: {len(names)} seed(s) {what} in {archive.name}, e.g. {names[0]}")
            target_seeds = seeds / name
            shutil.rmtree(target_seeds, ignore_errors=True)
            target_seeds.mkdir(parents=True)
            for file_name, data in packed.items():
                (target_seeds / file_name).write_bytes(data)
        for extra in ("options", "dict"):
            source = FUZZ / f"{name}.{extra}"
            if source.exists():
                copy = out / source.name
                expected.add(source.name)
                if not copy.is_file():
                    problems.append(f"{name}: no {source.name} in $OUT")
                elif copy.read_bytes() != source.read_bytes():
                    problems.append(f"{name}: {source.name} in $OUT differs from the repository's")
    for stray in sorted(set(p.name for p in out.iterdir()) - expected):
        problems.append(f"$OUT holds {stray}, which is no target's")
    return problems


def run_seeds(out, seeds, work):
    """Runs each target over its unpacked seeds; returns the problems found."""
    problems = []
    for name in targets():
        binary = out / name
        target_seeds = seeds / name
        if not binary.is_file() or not target_seeds.is_dir():
            continue  # already reported
        count = len(list(target_seeds.iterdir()))
        command = [str(binary), "-runs=0", *options_flags(FUZZ / f"{name}.options"),
                   f"-artifact_prefix={work}/{name}-", str(target_seeds)]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        read = re.search(r"seed corpus: files: (\d+)", result.stdout)
        done = re.search(r"Done (\d+) runs", result.stdout)
        if result.returncode != 0:
            tail = "\n".join(result.stdout.splitlines()[-20:])
            problems.append(f"{name}: status {result.returncode} over its seeds:\n{tail}")
        elif not read or int(read.group(1)) != count or not done:
            problems.append(f"{name}: ran over {read.group(1) if read else 'no'} of its {count} seeds")
        else:
            print(f"{name}: {count} seeds from its zip, {done.group(1)} runs, status 0")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True, type=Path)
    parser.add_argument("--sanitizer", choices=sorted(SANITIZER_FLAGS), default="address")
    args = parser.parse_args()
    root = args.dir.resolve()
    src, out, work, seeds = root / "src", root / "out", root / "work", root / "seeds"
    shutil.rmtree(out, ignore_errors=True)
    for d in (src, out, work, seeds):
        d.mkdir(parents=True, exist_ok=True)
    link = src / "ftpm-recovery"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(REPO)
    if not run_build(args, src, out, work):
        return 1
    problems = check_out(out, seeds)
    problems += run_seeds(out, seeds, work)
    for problem in problems:
        print(f"FAIL {problem}")
    if problems:
        return 1
    print(f"{len(targets())} targets, their seed zips and options files in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
