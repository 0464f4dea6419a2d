#!/usr/bin/env python3
"""Checks the include graph for circles.

A room is a source file together with its header (core/foo.h + core/foo.cpp);
a folder is one room when the whole tree is drawn. An arrow from A to B means
that a file of A includes a header of B. When the arrows form no circle, every
room can stand on a floor above the rooms it includes, so no arrow runs back
up. This script reports every circle among the rooms of the folders named with
--rooms (core/ by default) and among the top folders, and exits 1 when it finds
one. The folders that test the program (tests/, fuzz/, bench/) stand together
as one room on top: they may use each other's helpers, and nothing of the
program may include them.

    scripts/include_graph.py [--rooms core] [--floors] [ROOT]
"""

import argparse
import os
import re
import subprocess
import sys
from collections import defaultdict

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCE = (".h", ".hpp", ".cpp", ".cc")
HARNESS = ("tests", "fuzz", "bench")


def git(root, *args):
    return subprocess.run(["git", "-C", root, *args], check=True, capture_output=True, text=True).stdout


def tracked_sources(root):
    """The tracked C++ files of a checkout; every such file of another folder."""
    try:
        if os.path.realpath(git(root, "rev-parse", "--show-toplevel").strip()) != os.path.realpath(root):
            raise ValueError("not the top of a checkout")
        files = git(root, "ls-files", "--", *("*" + s for s in SOURCE)).split()
    except (OSError, ValueError, subprocess.CalledProcessError):
        files = []
        for top, dirs, names in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
            files += [os.path.relpath(os.path.join(top, n), root) for n in names if n.endswith(SOURCE)]
    return sorted(f for f in files if "/" in f)


def includes(root, path, known):
    """The tracked files that path includes, with the line of each."""
    try:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    found = []
    for m in INCLUDE.finditer(text):
        name = m.group(1)
        line = text.count("\n", 0, m.start()) + 1
        for candidate in (name, os.path.normpath(os.path.join(os.path.dirname(path), name))):
            if candidate in known:
                found.append((candidate, line))
                break
    return found


def room_of(path):
    return os.path.splitext(path)[0]


def folder_of(path):
    top = path.split("/", 1)[0]
    return "+".join(HARNESS) if top in HARNESS else top


def circles(edges):
    """Strongly connected components of more than one node (Tarjan, iterative)."""
    index, low, on_stack, stack, result = {}, {}, set(), [], []
    counter = 0
    nodes = set(edges) | {b for targets in edges.values() for b in targets}
    for start in sorted(nodes):
        if start in index:
            continue
        work = [(start, iter(sorted(edges.get(start, ()))))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, it = work[-1]
            advanced = False
            for nxt in it:
                if nxt not in index:
                    index[nxt] = low[nxt] = counter
                    counter += 1
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(sorted(edges.get(nxt, ())))))
                    advanced = True
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    top = stack.pop()
                    on_stack.discard(top)
                    group.append(top)
                    if top == node:
                        break
                if len(group) > 1:
                    result.append(sorted(group))
    return result


def floors(edges):
    """Floor of each node: 0 for rooms that include no other room."""
    level = {}

    def floor(node, seen=()):
        if node not in level:
            below = [floor(b, seen + (node,)) for b in edges.get(node, ()) if b not in seen]
            level[node] = 1 + max(below) if below else 0
        return level[node]

    for node in set(edges) | {b for t in edges.values() for b in t}:
        floor(node)
    return level


def report(title, edges, why):
    found = circles(edges)
    for group in found:
        members = set(group)
        print(f"{title}: circle among {', '.join(group)}", file=sys.stderr)
        for a in group:
            for b in sorted(edges.get(a, ())):
                if b in members:
                    print(f"  {a} -> {b}  ({why[(a, b)]})", file=sys.stderr)
    return len(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", nargs="?", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--rooms", action="append", help="a folder whose files are drawn one room each")
    parser.add_argument("--floors", action="store_true", help="print each room's floor")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    room_folders = args.rooms or ["core"]

    files = tracked_sources(root)
    known = set(files)
    folder_edges, folder_why = defaultdict(set), {}
    room_edges = {f: defaultdict(set) for f in room_folders}
    room_why = {}
    for path in files:
        for target, line in includes(root, path, known):
            a, b = folder_of(path), folder_of(target)
            if a != b:
                folder_edges[a].add(b)
                folder_why.setdefault((a, b), f"{path}:{line}")
            elif a in room_edges and room_of(path) != room_of(target):
                room_edges[a][room_of(path)].add(room_of(target))
                room_why.setdefault((room_of(path), room_of(target)), f"{path}:{line}")

    bad = report("folders", folder_edges, folder_why)
    for folder, edges in room_edges.items():
        bad += report(f"{folder}/", edges, room_why)
    if args.floors:
        for name, edges in [("folders", folder_edges)] + list(room_edges.items()):
            level = floors(edges)
            print(f"{name}: {max(level.values(), default=-1) + 1} floors")
            for node in sorted(level, key=lambda n: (-level[n], n)):
                print(f"  {level[node]:2d} {node}")
    if bad:
        print(f"include graph: {bad} circle(s); an include that closes one runs back up", file=sys.stderr)
        return 1
    def count(edges):
        return len(set(edges) | {b for targets in edges.values() for b in targets})

    rooms = sum(count(e) for e in room_edges.values())
    print(f"include graph: no circle among {count(folder_edges)} folders and {rooms} rooms of "
          f"{', '.join(f + '/' for f in room_folders)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
