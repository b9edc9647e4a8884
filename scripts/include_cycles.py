#!/usr/bin/env python3
# Finds include circles among the project's own headers: a header that,
# through the headers it includes, includes itself. Exit status 1 with the
# circle when there is one.
import os
import re
import subprocess
import sys

os.chdir(os.path.join(os.path.dirname(__file__), ".."))
files = subprocess.run(["git", "ls-files", "*.h", "*.cpp"], capture_output=True,
                       text=True, check=True).stdout.split()
by_name = {}
for f in files:
    by_name.setdefault(os.path.basename(f), []).append(f)
edges = {}
for f in files:
    with open(f, encoding="utf-8", errors="replace") as text:
        names = re.findall(r'^#include "([^"]+)"', text.read(), re.M)
    # A name means the header in the including file's own folder if there
    # is one there, else the one other folder that has it.
    targets = []
    for n in names:
        here = [c for c in by_name.get(n, []) if c.split("/")[0] == f.split("/")[0]]
        targets += here[:1] or by_name.get(n, [])[:1]
    edges[f] = targets

state = {}
def visit(f, path):
    state[f] = 1
    for t in edges.get(f, []):
        if state.get(t) == 1:
            print("include circle: " + " -> ".join(path[path.index(t):] + [t]), file=sys.stderr)
            return False
        if t not in state and not visit(t, path + [t]):
            return False
    state[f] = 2
    return True

sys.exit(0 if all(visit(f, [f]) for f in sorted(edges) if f not in state) else 1)
