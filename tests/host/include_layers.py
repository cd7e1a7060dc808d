#!/usr/bin/env python3
"""The stub's layers include only downward, and the packer shares the bottom layer instead of
copying it: every quoted include of a product source is checked against the layer order. Prints
each include that goes up or sideways and exits 1 if there is one.

    include_layers.py SOURCE_DIR
"""
import os
import re
import sys

# Lower comes first. A folder may include itself and any folder of a lower rank; payload and setup
# share a rank and so may not include each other.
RANK = {"platform": 0, "core": 1, "strings": 2, "workdir": 3, "payload": 4, "setup": 4, "stub": 5}
# Outside the stub, what each tool may take of it.
TOOLS = {"tools/stubpack": {"core"}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    return path.split("/", 1)[0]


def main():
    root = sys.argv[1]
    bad = []
    checked = 0
    for top in list(RANK) + list(TOOLS):
        for directory, _, files in os.walk(os.path.join(root, top)):
            for name in files:
                if not name.endswith((".h", ".cpp", ".inc")):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root)
                text = open(os.path.join(root, path), encoding="utf-8").read()
                for target in INCLUDE.findall(text):
                    checked += 1
                    to = layer_of(target)
                    if top in TOOLS:
                        if to in RANK and to not in TOOLS[top]:
                            bad.append(f"{path}: {target}: the packer takes only core/ of the stub")
                        continue
                    if to not in RANK:
                        bad.append(f"{path}: {target}: outside the stub's layers")
                    elif to != top and RANK[to] >= RANK[top]:
                        bad.append(f"{path}: {target}: {to}/ is not below {top}/")
    for line in bad:
        print(line)
    print(f"include layers: {checked} includes checked, {len(bad)} against the order")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
