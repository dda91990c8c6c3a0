#!/usr/bin/env python3
"""Checks the #include graph of the C++ tree.

Two rules:
- no cycle between modules (a module is a header with its source file:
  foo.hpp and foo.cpp are one node);
- no upward include between folders: each folder may include only itself
  and the folders listed before it in LAYERS.

Prints every offence and exits 1 when there is one.
"""
import pathlib
import re
import sys

# Lowest first. A folder may include only itself and the folders listed
# before it.
LAYERS = [
    "wire",
    "snc",
    "proto/base",
    "proto/net",
    "proto/transport",
    "proto/session",
    "proto/call",
    "proto/metadata",
    "proto/invoke",
    "proto/server",
    "ext",
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(path):
    return str(path.with_suffix(""))


def folder_of(path):
    parts = path.parent.as_posix()
    best = None
    for layer in LAYERS:
        if parts == layer or parts.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def main(root):
    root = pathlib.Path(root)
    files = [p.relative_to(root) for top in {l.split("/")[0] for l in LAYERS}
             for p in (root / top).rglob("*") if p.suffix in (".hpp", ".cpp", ".h")]
    graph = {}
    problems = []
    for f in sorted(files):
        src = module_of(f)
        graph.setdefault(src, set())
        here = folder_of(f)
        for inc in INCLUDE.findall((root / f).read_text()):
            target = pathlib.Path(inc)
            if not (root / target).exists():
                continue
            dst = module_of(target)
            if dst != src:
                graph[src].add(dst)
            there = folder_of(target)
            if here is None or there is None:
                continue
            if LAYERS.index(there) > LAYERS.index(here):
                problems.append(f"upward include: {f} ({here}) includes {inc} ({there})")
    # Cycles: Tarjan's strongly connected components.
    index, low, on, stack, sccs, counter = {}, {}, set(), [], [], [0]

    def visit(v):
        work = [(v, iter(sorted(graph.get(v, ()))))]
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        while work:
            node, it = work[-1]
            advanced = False
            for w in it:
                if w not in index:
                    index[w] = low[w] = counter[0]
                    counter[0] += 1
                    stack.append(w)
                    on.add(w)
                    work.append((w, iter(sorted(graph.get(w, ())))))
                    advanced = True
                    break
                if w in on:
                    low[node] = min(low[node], index[w])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                comp = []
                while True:
                    w = stack.pop()
                    on.discard(w)
                    comp.append(w)
                    if w == node:
                        break
                if len(comp) > 1:
                    sccs.append(sorted(comp))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    for comp in sccs:
        problems.append("include cycle: " + " <-> ".join(comp))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
