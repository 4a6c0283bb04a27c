#!/usr/bin/env python3
"""The include graph of the program's folders, and the arrows that run upward.

Reads every .cpp and .h under the program's folders (not tests, bench or
fuzz), maps each quoted include to the folder it names, and prints one line
per arrow between folders with how many includes make it. An arrow that the
layers do not allow, or a circle between folders, is listed after it; with
--check the script then exits 1, so a build step or CI can refuse it.

    scripts/include_graph.py [--check] [--dot]
"""
import os
import re
import sys

# Which folders each folder may include, lowest first. The window's generated
# forms (ui_*.h) belong to app.
ALLOWED = {
    "base": set(),
    "platform/xl": {"base"},
    "platform/toolkit": {"base"},
    "search": {"base", "platform/xl"},
    "results": {"base", "platform/xl", "platform/toolkit", "search"},
    "app": {"base", "platform/xl", "platform/toolkit", "search", "results"},
    "cli": {"base", "platform/xl", "search", "results"},
}
FOLDERS = sorted(ALLOWED, key=len, reverse=True)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    for f in FOLDERS:
        if path == f or path.startswith(f + "/"):
            return f
    return None


def edges(root):
    found = {}
    for f in ALLOWED:
        top = os.path.join(root, f)
        for dirpath, _, names in os.walk(top):
            for name in names:
                if not name.endswith((".cpp", ".h")):
                    continue
                src = os.path.relpath(os.path.join(dirpath, name), root)
                here = folder_of(src)
                with open(os.path.join(root, src), encoding="utf-8", errors="replace") as fh:
                    text = fh.read()
                for inc in INCLUDE.findall(text):
                    if inc.startswith("ui_"):
                        there = "app"
                    elif "/" not in inc:
                        there = here  # beside the includer
                    else:
                        there = folder_of(inc)
                    if there and there != here:
                        found.setdefault((here, there), []).append(f"{src}: {inc}")
    return found


def circles(arrows):
    graph = {}
    for a, b in arrows:
        graph.setdefault(a, set()).add(b)
    out, state, stack = [], {}, []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in sorted(graph.get(n, ())):
            if state.get(m) == 1:
                out.append(stack[stack.index(m):] + [m])
            elif m not in state:
                visit(m)
        stack.pop()
        state[n] = 2

    for n in sorted(graph):
        if n not in state:
            visit(n)
    return out


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = edges(root)
    if "--dot" in argv:
        print("digraph includes {")
        for (a, b), why in sorted(found.items()):
            bad = b not in ALLOWED[a]
            print(f'  "{a}" -> "{b}" [label="{len(why)}"{", color=red" if bad else ""}];')
        print("}")
        return 0
    for (a, b), why in sorted(found.items()):
        print(f"{a} -> {b}  ({len(why)})")
    upward = {k: v for k, v in found.items() if k[1] not in ALLOWED[k[0]]}
    loops = circles(found)
    for (a, b), why in sorted(upward.items()):
        print(f"\nupward: {a} -> {b}")
        for w in why:
            print(f"  {w}")
    for c in loops:
        print("\ncircle: " + " -> ".join(c))
    if not upward and not loops:
        print("\nno upward arrow, no circle")
    return 1 if "--check" in argv and (upward or loops) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
