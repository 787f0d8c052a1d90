#!/usr/bin/env python3
"""Fails when the object files given form a circle: a file that calls into
another that, directly or through others, calls back into the first.

Usage: check_file_circles.py OBJECT...
An edge A -> B stands for each global symbol that A uses and B defines
(strong definitions only: inline and template code shared by many files
makes no edge)."""
import os
import subprocess
import sys


def symbols(obj, which):
    out = subprocess.run(["nm", "--defined-only" if which == "defined" else "--undefined-only", obj],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if which == "defined" and len(parts) == 3 and parts[1] in "TDBR":
            yield parts[2]
        elif which == "undefined" and len(parts) == 2:
            yield parts[1]


def main(objects):
    name = {o: os.path.basename(o).removesuffix(".o").removesuffix(".cpp") for o in objects}
    defined_in = {}
    for o in objects:
        for s in symbols(o, "defined"):
            defined_in.setdefault(s, set()).add(name[o])
    edges = {name[o]: set() for o in objects}
    for o in objects:
        for s in symbols(o, "undefined"):
            edges[name[o]] |= defined_in.get(s, set()) - {name[o]}
    circles, state, path = [], {}, []

    def visit(v):
        state[v] = "open"
        path.append(v)
        for w in sorted(edges[v]):
            if state.get(w) == "open":
                circles.append(path[path.index(w):] + [w])
            elif w not in state:
                visit(w)
        path.pop()
        state[v] = "done"

    for v in sorted(edges):
        if v not in state:
            visit(v)
    for c in circles:
        print("circle of files: " + " -> ".join(c))
    print(f"{len(objects)} files, {sum(len(e) for e in edges.values())} edges, {len(circles)} circles")
    return 1 if circles else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]) if len(sys.argv) > 1 else 2)
