#!/usr/bin/python3
"""Which part of the project includes which, and whether every arrow points down.

Reads every C and C++ source of the production folders, resolves each
#include "x.h" to the folder that holds x.h, and checks the folder graph:
no circle, and no include of a part above the including one in the order
below. With --targets, also configures the project in a scratch folder with
cmake --graphviz and checks that the build's own target graph has no circle.
Prints the include graph with --print. Exit 1 with the offending includes or
targets when a rule is broken.
"""
import os
import re
import subprocess
import sys
import tempfile

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Lowest first. A part may include its own folder and any part before it.
ORDER = [
    "shared/include",
    "platform/hostsvc",
    "platform/drive",
    "shared/src",
    "engine",
    "platform/zormonitor",
    "backend/modules/src/monitor",
    "host",
    "daemon",
    "console",
    "cli",
    "daemon/zorhostd",
    "tools",
    "demo",
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def part_of(path):
    """The longest ORDER entry that path lies in."""
    best = None
    for part in ORDER:
        if path == part or path.startswith(part + "/"):
            if best is None or len(part) > len(best):
                best = part
    return best


def sources():
    for top in ("shared", "platform", "engine", "backend", "host", "daemon", "console", "cli", "tools", "demo"):
        for folder, _, files in os.walk(os.path.join(SOURCE, top)):
            for name in files:
                if name.endswith((".c", ".cpp", ".h", ".hpp")):
                    yield os.path.relpath(os.path.join(folder, name), SOURCE)


def target_cycle():
    """A circle in the build's target graph, as a list of names; None when there is none."""
    with tempfile.TemporaryDirectory() as scratch:
        dot = os.path.join(scratch, "targets.dot")
        subprocess.run([os.environ.get("CMAKE", "cmake"), "-S", SOURCE, "-B", os.path.join(scratch, "build"), "-DBUILD_TESTING=OFF",
                        "--graphviz=" + dot], check=True, stdout=subprocess.DEVNULL)
        text = open(dot).read()
    names = dict(re.findall(r'"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', text))
    arrows = {}
    for a, b in re.findall(r'"(node\d+)"\s*->\s*"(node\d+)"', text):
        arrows.setdefault(a, []).append(b)
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in arrows.get(node, []):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in names:
        if node not in state:
            found = visit(node, [node])
            if found:
                return [names.get(n, n) for n in found]
    return None


def main():
    files = sorted(sources())
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)
    edges = {}
    for f in files:
        own = part_of(f)
        text = open(os.path.join(SOURCE, f), encoding="utf-8", errors="replace").read()
        for name in INCLUDE.findall(text):
            beside = os.path.normpath(os.path.join(os.path.dirname(f), name))
            if beside in by_name.get(os.path.basename(name), []):
                target = beside
            else:
                candidates = by_name.get(os.path.basename(name), [])
                if not candidates:
                    continue  # a generated header (the embedded schemas)
                # The same name in several folders: the one nearest the includer.
                target = max(candidates, key=lambda c: len(os.path.commonprefix([c, f])))
            other = part_of(target)
            if other and other != own:
                edges.setdefault((own, other), []).append(f + " -> " + target)

    problems = []
    rank = {p: i for i, p in enumerate(ORDER)}
    for (a, b), where in sorted(edges.items()):
        if rank[b] > rank[a]:
            problems.append("%s includes %s, which lies above it:\n    %s" % (a, b, "\n    ".join(where)))
    if "--print" in sys.argv:
        for (a, b), where in sorted(edges.items(), key=lambda e: (rank[e[0][0]], rank[e[0][1]])):
            print("%-28s -> %-28s (%d includes)" % (a, b, len(where)))
    if "--targets" in sys.argv:
        cycle = target_cycle()
        if cycle:
            problems.append("the build's targets depend on each other in a circle: " + " -> ".join(cycle))
        else:
            print("the build's target graph has no circle")
    if problems:
        print("\n".join(problems))
        return 1
    print("%d files, %d arrows between parts, every one pointing down" % (len(files), len(edges)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
