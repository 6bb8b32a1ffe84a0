#!/usr/bin/env python3
"""The release tool on the images fuzz_insert makes from its seed corpus.

For each seed, the fuzz target (one process for all of them) writes the image it decoded, the files it
inserts and, when the library took them, the result (FUZZ_INSERT_DUMP_DIR). The
tool must then agree with the library: `ftpm-recovery insert` exits 0 and
writes exactly the library's result, or, where the library refused, exits 2
with one line on standard error and leaves no file in the output folder.

  check_insert_cli.py --fuzz-insert BIN --tool TOOL --corpus DIR [--jobs N]
"""
import argparse
import concurrent.futures
import os
import pathlib
import subprocess
import sys
import tempfile


def check_one(tool: str, name: str, dumps: pathlib.Path, index: int, work: pathlib.Path):
    """Returns (outcome, failure or None); outcome is inserted, refused or skipped."""
    image = dumps / f"{index}.image"
    if not image.exists():
        return "skipped", None  # empty, or the raw form's stream did not fit a section: no image
    files = sorted(dumps.glob(f"{index}.image.file*"), key=lambda p: int(p.name.rsplit("file", 1)[1]))
    expected = dumps / f"{index}.image.out"
    out_dir = work / str(index)
    out_dir.mkdir()
    out = out_dir / "new.fd"
    data = (dumps / f"{index}.image.input").read_bytes()
    replace = ["--replace"] if data and data[0] & 1 else []  # the flag byte's bit 0, in either form
    tool_run = subprocess.run([tool, "insert", "--into", str(image), "--out", str(out), *replace, *map(str, files)],
                              capture_output=True, text=True, timeout=120)
    left = sorted(p.name for p in out_dir.iterdir())
    if expected.exists():
        if tool_run.returncode != 0:
            return "inserted", (f"{name}: the library took the files, the tool exited "
                                f"{tool_run.returncode}: {tool_run.stderr.strip()}")
        if not out.exists() or out.read_bytes() != expected.read_bytes():
            return "inserted", f"{name}: the tool's image differs from the library's"
        if left != ["new.fd"]:
            return "inserted", f"{name}: the output folder holds {left}"
        return "inserted", None
    lines = tool_run.stderr.strip().splitlines()
    if tool_run.returncode != 2 or len(lines) != 1:
        return "refused", (f"{name}: the library refused, the tool exited {tool_run.returncode} "
                           f"with {len(lines)} lines: {tool_run.stderr.strip()[-300:]}")
    if left:
        return "refused", f"{name}: a refused insert left {left}"
    return "refused", None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fuzz-insert", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--corpus", required=True, type=pathlib.Path)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    for path in (args.fuzz_insert, args.tool):
        if not os.access(path, os.X_OK):
            print(f"check_insert_cli: {path} is not there (make test builds it first)", file=sys.stderr)
            return 1
    seeds = sorted(p for p in args.corpus.iterdir() if p.is_file())
    if not seeds:
        print(f"check_insert_cli: no seeds in {args.corpus}", file=sys.stderr)
        return 1
    counts = {"inserted": 0, "refused": 0, "skipped": 0}
    failures = []
    with tempfile.TemporaryDirectory(prefix="insert-cli-") as scratch:
        dumps = pathlib.Path(scratch) / "dumps"
        work = pathlib.Path(scratch) / "work"
        dumps.mkdir()
        work.mkdir()
        # One process runs every seed, in the order given.
        run = subprocess.run([args.fuzz_insert, *map(str, seeds)], env={**os.environ, "FUZZ_INSERT_DUMP_DIR": str(dumps)},
                             capture_output=True, text=True, timeout=600)
        if run.returncode != 0:
            print(f"check_insert_cli: fuzz_insert exited {run.returncode}: {run.stderr.strip()[-600:]}")
            return 1
        # The runs by the inputs they were given (libFuzzer may add runs of
        # its own, of the empty input).
        names = {seed.read_bytes(): seed.name for seed in seeds}
        runs = {}
        for given in dumps.glob("*.image.input"):
            runs.setdefault(given.read_bytes(), int(given.name.split(".")[0]))
        for data, name in names.items():
            if data not in runs:
                failures.append(f"{name}: fuzz_insert did not run it")
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for outcome, failure in pool.map(lambda item: check_one(args.tool, names[item[0]], dumps, item[1], work),
                                             [(data, runs[data]) for data in names if data in runs]):
                counts[outcome] += 1
                if failure:
                    failures.append(failure)
    print(f"check_insert_cli: {len(seeds)} seeds: {counts['inserted']} inserted, {counts['refused']} refused, "
          f"{counts['skipped']} without an image")
    for failure in failures:
        print("FAIL " + failure)
    # Both outcomes must occur, or the check would say nothing about one.
    if counts["inserted"] == 0 or counts["refused"] == 0:
        print("FAIL the corpus gives no image of one outcome")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
