#!/usr/bin/env python3
"""Sizes of what an lld-link /map file places in the image.

The image is linked without debug information, so the map is where its
symbols are: every public and static symbol with its section and offset. A
symbol's size is the distance to the next symbol of its section (or the
section's end), which counts the padding after it as well. Functions the
compiler inlined have no symbol of their own and count with their caller;
with link-time optimisation that is most of the driver, so the listing shows
the few large functions that remain and the constant tables.

    symbol_sizes.py IMAGE.map [--image IMAGE.efi] [--top N] [--by symbol|layer|section] [--json]

--image takes the section sizes from the image itself (llvm-objdump), which
also covers what the map's section table leaves out (merged string literals).
"""
import argparse
import collections
import json
import re
import subprocess
import sys

SECTION = re.compile(r"^\s*([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s+([0-9a-fA-F]{8})H\s+(\S+)\s+(\S+)\s*$")
SYMBOL = re.compile(r"^\s*([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s+(\S+)\s+[0-9a-fA-F]{16}\s+(\S+)\s*$")
LAYERS = ("driver", "directory", "support", "platform")


def parse(path):
    """Returns (sections, symbols): sections as {index: [(offset, length, name)]},
    symbols as [(index, offset, name, object)]."""
    sections = collections.defaultdict(list)
    symbols = []
    with open(path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            match = SECTION.match(line)
            if match:
                sections[int(match.group(1), 16)].append(
                    (int(match.group(2), 16), int(match.group(3), 16), match.group(4)))
                continue
            match = SYMBOL.match(line)
            if match:
                symbols.append((int(match.group(1), 16), int(match.group(2), 16), match.group(3), match.group(4)))
    return sections, symbols


def image_sections(image):
    """{index: size} of the image's sections, numbered from 1 as the map numbers them."""
    out = subprocess.run(["llvm-objdump", "-h", image], capture_output=True, text=True, check=True).stdout
    sizes = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            sizes[int(fields[0]) + 1] = int(fields[2], 16)
    return sizes


def extend_sections(sections, sizes):
    """Lets the last part of each section run to the section's size in the image."""
    for index, size in sizes.items():
        parts = sections.get(index)
        if not parts:
            continue
        parts.sort()
        offset, length, name = parts[-1]
        if offset + length < size:
            parts[-1] = (offset, size - offset, name)


def sized(sections, symbols):
    """[(size, section part, symbol, object)] with each symbol's extent."""
    result = []
    ordered = sorted(set(symbols))
    for i, (index, offset, name, obj) in enumerate(ordered):
        parts = sections.get(index, [])
        end = max((o + n for o, n, _ in parts), default=offset)
        if i + 1 < len(ordered) and ordered[i + 1][0] == index:
            end = ordered[i + 1][1]
        part = next((p for o, n, p in parts if o <= offset < o + n), "?")
        result.append((max(end - offset, 0), part, name, obj))
    return result


def readable(name):
    """The scoped name of an MSVC-decorated symbol: 'ftpm::directory::Fletcher32'."""
    if name.startswith("??_C@"):
        return "(string literal)"
    if name.startswith(("__xmm@", "__real@", "__ymm@")):
        return "(vector constant)"
    match = re.match(r"^\?(\?\$)?([A-Za-z_]\w*)@(.*)$", name)
    if not match:
        return name
    base, rest = match.group(2), match.group(3)
    if match.group(1):
        arguments, _, rest = rest.partition("@@@")
        base += "<" + re.sub(r"^[UVT]", "", arguments.split("@")[0]) + ">"
    scopes = []
    for scope in rest.split("@"):
        if scope == "":
            break
        if scope.startswith("?A0x"):
            scopes.append("(anonymous)")
        elif re.match(r"^[A-Za-z_]\w*$", scope):
            scopes.append(scope)
        else:
            break
    return "::".join(list(reversed(scopes)) + [base])


def layer(readable_name):
    """Where a symbol comes from: a source layer by its namespace, the GUIDs,
    the string literals, or other."""
    match = re.match(r"^ftpm::(\w+)::", readable_name)
    if match and match.group(1) in LAYERS:
        return match.group(1) + "/"
    if readable_name == "FtpmRecoveryDxeEntry":
        return "driver/"  # the entry point, with the start-up chain inlined into it
    if readable_name in ("memcpy", "memmove", "memset"):
        return "platform/"  # what the compiler calls for block copies
    if re.match(r"^g\w+Guid$", readable_name):
        return "GUIDs"
    if readable_name == "(string literal)":
        return "string literals"
    return "other"


def summary(map_path, image=None):
    sections, symbols = parse(map_path)
    if image:
        extend_sections(sections, image_sections(image))
    return sized(sections, symbols)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("map")
    parser.add_argument("--image", help="the .efi, for its section sizes")
    parser.add_argument("--top", type=int, default=20)
    parser.add_argument("--by", choices=["symbol", "layer", "section"], default="symbol")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    rows = summary(args.map, args.image)
    if not rows:
        sys.exit(f"{args.map}: no symbols found")
    if args.by == "symbol":
        rows.sort(key=lambda r: (-r[0], r[2]))
        listing = [{"bytes": size, "section": part, "symbol": readable(name)} for size, part, name, _ in rows]
    else:
        totals = collections.Counter()
        for size, part, name, _ in rows:
            totals[layer(readable(name)) if args.by == "layer" else part] += size
        listing = [{"bytes": size, args.by: key} for key, size in totals.most_common()]
    listing = listing[: args.top]
    if args.json:
        print(json.dumps(listing))
        return
    for row in listing:
        label = row.get("symbol") or row.get("layer") or row.get("section")
        print(f"{row['bytes']:6d}  {row.get('section', ''):7s} {label}" if "symbol" in row else
              f"{row['bytes']:6d}  {label}")


if __name__ == "__main__":
    main()
