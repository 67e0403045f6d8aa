#!/usr/bin/env python3
"""The layer rule of src/: a file includes nothing from a folder above its own, in the order
ui > app > link > midiin > midiout > tempo > state > platform, and nothing outside ui/ includes
Qt. Prints each breach and exits 1 if there is one.
    check_layers.py [src folder]"""
import os
import re
import sys

ORDER = ["platform", "state", "tempo", "midiout", "midiin", "link", "app", "ui"]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def breaches(src):
    for dirpath, _, files in os.walk(src):
        layer = os.path.relpath(dirpath, src).split(os.sep)[0]
        if layer not in ORDER:
            continue
        for name in sorted(files):
            if not name.endswith((".h", ".hpp", ".cpp", ".cc")):
                continue
            path = os.path.join(dirpath, name)
            with open(path, errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    top = target.split("/")[0]
                    where = f"{path}:{number} ({layer})"
                    if top in ORDER and ORDER.index(top) > ORDER.index(layer):
                        yield f"{where} includes {target}, from {top} above it"
                    elif layer != "ui" and re.match(r"Q[A-Za-z]|qt", target) and "/" not in target:
                        yield f"{where} includes Qt's <{target}> outside ui/"


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else "src"
    if not os.path.isdir(src):
        print(f"no folder {src}")
        return 2
    found = list(breaches(src))
    for b in found:
        print(b)
    print(f"{len(found)} breaches of the layer rule")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
