#!/usr/bin/env python3
"""Checks that the library's layers include only downwards: core, then psi, then the
facilities (pmt, programs, dump), which include neither each other nor the commands.

    tools/layers.py [REPO]

Prints each include that goes upwards or sideways and exits 1 when there is one."""
import os
import re
import sys

RANK = {"core": 0, "psi": 1, "pmt": 2, "programs": 2, "dump": 2}


def main():
    root = os.path.join(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."), "ts")
    bad = 0
    for layer in sorted(RANK):
        folder = os.path.join(root, layer)
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            for n, line in enumerate(open(path, encoding="utf-8"), 1):
                m = re.match(r'\s*#include\s+"([^"]+)"', line)
                if not m:
                    continue
                target = os.path.normpath(os.path.join(layer, m.group(1)) if m.group(1).startswith("..") else m.group(1))
                to = target.split(os.sep)[0]
                if target == "ts.h" or to not in RANK:
                    print("%s/%s:%d: includes %s, which is not a layer's header" % (layer, name, n, m.group(1)))
                    bad += 1
                elif to != layer and RANK[to] >= RANK[layer]:
                    print("%s/%s:%d: includes %s, of layer %s" % (layer, name, n, m.group(1), to))
                    bad += 1
    print("layers: %s" % ("%d includes go upwards or sideways" % bad if bad else "every include goes downwards"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
