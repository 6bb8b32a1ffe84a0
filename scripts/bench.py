#!/usr/bin/env python3
"""The driver's cost report: builds what it needs, measures, prints one table.

    scripts/bench.py [--uefi-build build/uefi] [--host-build build/bench] [--no-build] [--symbols N]

Figures:
- the size of FtpmRecoveryDxe.efi as the uefi preset builds it (the release
  options), plain and LZMA-compressed, against its budget, and where the
  bytes go (from the linker's map);
- for each sample and its processor, the flash bytes read and 8-byte loads of
  a full recovery and of a second one in the same boot, beside the least the
  directory walk needs; a row above the least is flagged;
- pool memory allocated and still held after start-up and after a recovery;
- instructions executed (callgrind) by the entry point on a boot without
  recovery, with the time-stamp-counter table already published, and by the
  handler up to the prompt;
- Fletcher-32 throughput (Google Benchmark).

Sizes and counts are deterministic; the throughput is this machine's. The
exit status is 1 when a row is flagged (image over budget, flash read beyond
the least), else 0.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import image_size  # noqa: E402
import symbol_sizes  # noqa: E402

DRIVER_DIRS = tuple(os.path.join(ROOT, d) + os.sep for d in ("driver", "directory", "support", "platform"))
FLETCHER_CASES = {
    "copy_1552_bytes": "a 1552-byte directory copy (776 words)",
    "entries_96": "a directory of 96 entries (772 words)",
    "entries_512": "a directory of 512 entries (4100 words)",
}


def run(command, **kwargs):
    try:
        return subprocess.run(command, check=True, **kwargs)
    except subprocess.CalledProcessError as error:
        if error.stderr:
            sys.stderr.write(error.stderr if isinstance(error.stderr, str) else error.stderr.decode())
        sys.exit(f"bench: {' '.join(command)} failed with status {error.returncode}")


def build(uefi_dir, host_dir, jobs):
    """The uefi preset's image and the host-side bench programs. The host side
    is the host preset in a directory of its own, with DWARF 4 debug
    information, which valgrind 3.19 reads (clang 14 writes DWARF 5 by
    default) and which callgrind needs to tell driver code from the rest."""
    quiet = {"stdout": subprocess.DEVNULL}
    run(["cmake", "--preset", "uefi", "-B", uefi_dir], cwd=ROOT, **quiet)
    run(["cmake", "--build", uefi_dir, "-j", str(jobs), "--target", "FtpmRecoveryDxe"], cwd=ROOT, **quiet)
    run(["cmake", "--preset", "host", "-B", host_dir, f"-DFTPM_UEFI_BUILD_DIR={uefi_dir}",
         "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g -gdwarf-4 -DNDEBUG"], cwd=ROOT, **quiet)
    run(["cmake", "--build", host_dir, "-j", str(jobs), "--target", "ftpm-bench-cost", "ftpm-bench-fletcher32"],
        cwd=ROOT, **quiet)


def n(value):
    return f"{value:,}"


# --- Instructions -----------------------------------------------------------------


def callgrind(program, arguments, workdir):
    """(driver instructions, all instructions) between the program's callgrind
    start and stop. Driver code is everything compiled from the driver layers;
    the rest is the simulated firmware, the C++ runtime and the bench."""
    out = os.path.join(workdir, "callgrind." + arguments[0])
    run(["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--callgrind-out-file={out}", program] + arguments,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Run from the work directory: callgrind_annotate shortens the paths of
    # files under its working directory.
    text = run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out], capture_output=True, text=True,
               cwd=workdir).stdout
    total = None
    driver = 0
    for line in text.splitlines():
        match = re.match(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?PROGRAM TOTALS", line)
        if match:
            total = int(match.group(1).replace(",", ""))
            continue
        match = re.match(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(/[^:]+):(.*)$", line)
        # Driver code: compiled from the driver layers, and not a simulator
        # function that merely inlined one of their header helpers.
        if match and match.group(2).startswith(DRIVER_DIRS) and not match.group(3).startswith("ftpm::sim::"):
            driver += int(match.group(1).replace(",", ""))
    if total is None:
        raise RuntimeError(f"callgrind_annotate gave no total for {out}")
    return driver, total


# --- Fletcher-32 ------------------------------------------------------------------


def fletcher(program):
    out = run([program, "--benchmark_format=json", "--benchmark_min_time=0.3"], capture_output=True,
              text=True).stdout
    results = {}
    for bench in json.loads(out)["benchmarks"]:
        case = bench["name"].split("/")[1]
        scale = {"ns": 1, "us": 1e3, "ms": 1e6}[bench["time_unit"]]
        results[case] = (bench["bytes_per_second"], bench["cpu_time"] * scale)
    return results


# --- The table --------------------------------------------------------------------


def traffic_text(t, detail=True):
    text = f"{n(t['bytes'])} B in {n(t['loads'])} loads"
    if detail and t.get("mapped_bytes"):
        text += f" ({n(t['mapped_bytes'])} B of them copied from a window address)"
    return text


def memory_text(m):
    text = f"{n(m['pool_allocated'])} B allocated, {n(m['pool_held'])} B held in {m['pool_blocks_held']} blocks"
    if m["page_bytes_held"]:
        text += f", plus {n(m['page_bytes_held'])} B of pages"
    return text


def table(image, layers, top, traffic, instructions, throughput):
    rows = []
    flagged = []

    def row(figure, case, measured, reference="", verdict=""):
        rows.append((figure, case, measured, reference, verdict))

    over = image["bytes"] > image["budget"]
    row("Image size", "FtpmRecoveryDxe.efi, release options (uefi preset)", f"{n(image['bytes'])} B",
        f"budget {n(image['budget'])} B", "**OVER**" if over else "ok")
    if over:
        flagged.append("image size")
    if image["lzma_bytes"] is not None:
        row("Image size, compressed", "LZMA, as a compressed firmware-volume section holds it",
            f"{n(image['lzma_bytes'])} B")
    row("Image bytes by origin", "from the linker map", ", ".join(f"{k} {n(v)}" for k, v in layers))
    row("Largest symbols", "from the linker map", ", ".join(f"{name} {n(size)}" for name, size in top))

    for r in traffic["recoveries"]:
        case = f"{r['sample']} on {r['processor']}, RecoveryFlag side {r['side']}"
        least = r["least"]
        for label, measured, reference in (("full recovery", r["first"], least),
                                           ("second recovery, same boot", r["second"], {"bytes": 0, "loads": 0})):
            excess = measured["bytes"] > reference["bytes"] or measured["loads"] > reference["loads"]
            verdict = f"**{n(measured['bytes'] - reference['bytes'])} B beyond the least**" if excess else "ok"
            if excess:
                flagged.append(f"{r['sample']} side {r['side']}, {label}")
            row(f"Flash read, {label}", case, traffic_text(measured), "least " + traffic_text(reference, False), verdict)

    row("Pool after start-up", "boot without recovery", memory_text(traffic["quiet_boot"]["memory_after_startup"]))
    first = traffic["recoveries"][0]
    row("Pool after start-up", "recovery requested (setting 122)", memory_text(first["memory_after_startup"]))
    for r in traffic["recoveries"]:
        if r["side"] == "A":
            row("Pool after a full recovery", f"{r['sample']}, since start-up began",
                memory_text(r["memory_after_recovery"]))

    if instructions:
        for label, case, (driver, total) in instructions:
            row(label, case, f"{n(driver)} in driver code", f"{n(total)} with the simulated firmware")

    for case, (bps, ns) in throughput.items():
        row("Fletcher32 throughput", FLETCHER_CASES.get(case, case), f"{bps / 1e6:,.0f} MB/s", f"{ns:,.0f} ns a call")

    header = ("Figure", "Case", "Measured", "Least / budget / beside", "")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(cells) + " |" for cells in rows]
    return "\n".join(lines), flagged


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", default=os.path.join(ROOT, "build", "uefi"))
    parser.add_argument("--host-build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--samples", nargs="*",
                        default=[os.path.join(ROOT, "samples", s)
                                 for s in ("plain-16m.json", "combo-ab2-64m.json", "ab1.json")])
    parser.add_argument("--no-build", action="store_true", help="use what the build directories hold")
    parser.add_argument("--symbols", type=int, default=0, metavar="N",
                        help="also print the N largest symbols of the image after the table")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    uefi_dir = os.path.abspath(args.uefi_build)
    host_dir = os.path.abspath(args.host_build)

    if not args.no_build:
        build(uefi_dir, host_dir, args.jobs)
    image_path = os.path.join(uefi_dir, "FtpmRecoveryDxe.efi")
    map_path = os.path.join(uefi_dir, "FtpmRecoveryDxe.map")
    cost = os.path.join(host_dir, "bench", "ftpm-bench-cost")
    fletcher32 = os.path.join(host_dir, "bench", "ftpm-bench-fletcher32")

    image = image_size.measure(image_path)
    symbols = symbol_sizes.summary(map_path, image_path)
    by_layer = {}
    for size, _, name, _ in symbols:
        key = symbol_sizes.layer(symbol_sizes.readable(name))
        by_layer[key] = by_layer.get(key, 0) + size
    layers = sorted(by_layer.items(), key=lambda kv: -kv[1])
    ranked = sorted(((symbol_sizes.readable(name), size) for size, _, name, _ in symbols), key=lambda r: -r[1])

    traffic = json.loads(run([cost, "traffic"] + args.samples, capture_output=True, text=True).stdout)

    instructions = []
    if shutil.which("valgrind") and shutil.which("callgrind_annotate"):
        with tempfile.TemporaryDirectory() as work:
            instructions.append(("Instructions, entry point", "boot without recovery, TSC table published",
                                 callgrind(cost, ["entry"], work)))
            sample = args.samples[0]
            instructions.append(("Instructions, handler up to the prompt",
                                 f"{os.path.basename(sample)}, full recovery requested",
                                 callgrind(cost, ["prompt", sample], work)))
    else:
        print("valgrind not found: no instruction counts", file=sys.stderr)

    throughput = fletcher(fletcher32) if os.path.exists(fletcher32) else {}
    text, flagged = table(image, layers, ranked[:3], traffic, instructions, throughput)
    print(text)
    if args.symbols:
        print()
        for name, size in ranked[: args.symbols]:
            print(f"{size:6d}  {name}")
    if flagged:
        print("flagged: " + "; ".join(flagged), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
