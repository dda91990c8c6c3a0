#!/usr/bin/env python3
"""Checks the #include graph of the C++ tree.

Two rules:
- no cycle between modules (a module is a header with its source file:
  foo.hpp and foo.cpp are one node);
- between folders, only the edges that ALLOWED lists: a file may include
  files of its own folder and of the folders ALLOWED gives for it, nothing
  else.

Prints every offence and exits 1 when there is one.
"""
import pathlib
import re
import sys

# Which folder may include which (besides itself). The layers, lowest first:
# wire, snc, then proto in its own layers (base, net, transport; session and
# server side by side, neither using the other; call, metadata, invoke),
# then ext, which may use everything below it.
_WIRE = {"wire"}
_SNC = _WIRE | {"snc"}
_BASE = _SNC | {"proto/base"}
_NET = _BASE | {"proto/net"}
_TRANSPORT = _NET | {"proto/transport"}
_SESSION = _TRANSPORT | {"proto/session"}
_SERVER = _TRANSPORT | {"proto/server"}
_CALL = _SESSION | _SERVER | {"proto/call"}
_METADATA = _CALL | {"proto/metadata"}
_INVOKE = _METADATA | {"proto/invoke"}

ALLOWED = {
    "wire": set(),
    "snc": _WIRE,
    "proto/base": _SNC,
    "proto/net": _BASE,
    "proto/transport": _NET,
    "proto/session": _TRANSPORT,
    "proto/server": _TRANSPORT,
    "proto/call": _SESSION | _SERVER,
    "proto/metadata": _CALL,
    "proto/invoke": _METADATA,
    "ext": _INVOKE,
}
FOLDERS = sorted(ALLOWED)

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(path):
    return str(path.with_suffix(""))


def folder_of(path):
    parts = path.parent.as_posix()
    best = None
    for folder in FOLDERS:
        if parts == folder or parts.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def main(root):
    root = pathlib.Path(root)
    files = [p.relative_to(root) for top in sorted({f.split("/")[0] for f in FOLDERS})
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
            if here is None or there is None or there == here:
                continue
            if there not in ALLOWED[here]:
                problems.append(f"include not allowed: {f} ({here}) includes {inc} ({there})")
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
