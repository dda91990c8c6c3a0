#!/usr/bin/env python3
"""Checks what a source distribution ships.

Every entry must lie in a file or folder that the sdist's own MANIFEST.in
lists (`include` and `graft` lines; `graft .` is refused), or be the
metadata setuptools adds (PKG-INFO, setup.cfg, lomra.egg-info/); and
nothing that a clone, a virtual environment, a build or a test run leaves
behind may travel in it, wherever it sits: .git, a venv, build output,
caches, compiled files.

Usage: check_sdist.py SDIST.tar.gz. Prints every offending entry and exits 1
when there is one.
"""
import pathlib
import sys
import tarfile

# What setuptools writes into every sdist beside the listed files.
METADATA = {"PKG-INFO", "setup.cfg"}
METADATA_SUFFIX = ".egg-info"

# Folders and files that never belong in it, at any depth.
LEFTOVER_DIRS = {".git", ".venv", "venv", "site-packages", "build", "dist", "__pycache__",
                 ".pytest_cache", ".hypothesis", ".tox", ".eggs", "CMakeFiles"}
LEFTOVER_FILES = {"pyvenv.cfg", "CMakeCache.txt", ".gitignore", ".gitmodules"}
LEFTOVER_SUFFIXES = (".so", ".o", ".a", ".pyc", ".pyo", ".whl", ".tar.gz")


def listed(manifest):
    """The top-level files and folders a MANIFEST.in lists, and its problems."""
    files, folders, problems = set(), set(), []
    for number, line in enumerate(manifest.splitlines(), 1):
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        command, args = words[0], words[1:]
        if command == "include":
            files.update(args)
        elif command == "graft":
            for a in args:
                if a.strip("/") in ("", "."):
                    problems.append(f"MANIFEST.in:{number}: `graft .` ships the whole tree")
                folders.add(a.strip("/").split("/")[0])
        elif command not in ("global-exclude", "exclude", "prune", "recursive-exclude"):
            problems.append(f"MANIFEST.in:{number}: {command} is not a listed file or folder")
    return files, folders, problems


def check(path):
    with tarfile.open(path) as tar:
        members = tar.getmembers()
        names = [m.name for m in members]
        roots = {n.split("/")[0] for n in names}
        if len(roots) != 1:
            return [f"more than one top-level folder: {sorted(roots)}"]
        root = roots.pop()
        try:
            manifest = tar.extractfile(f"{root}/MANIFEST.in").read().decode("utf-8")
        except KeyError:
            return ["no MANIFEST.in"]
    files, folders, problems = listed(manifest)
    for name in names:
        parts = pathlib.PurePosixPath(name).parts[1:]
        if not parts:
            continue
        top = parts[0]
        leftover = (any(p in LEFTOVER_DIRS for p in parts[:-1]) or parts[-1] in LEFTOVER_DIRS
                    or parts[-1] in LEFTOVER_FILES or parts[-1].endswith(LEFTOVER_SUFFIXES))
        if leftover:
            problems.append(f"{name}: left behind by a clone, a venv, a build or a test run")
        elif len(parts) == 1 and top not in files | folders | METADATA and not top.endswith(
                METADATA_SUFFIX):
            problems.append(f"{name}: not listed in MANIFEST.in")
        elif len(parts) > 1 and top not in folders and not top.endswith(METADATA_SUFFIX):
            problems.append(f"{name}: not in a listed folder")
    return problems


def main(argv):
    if len(argv) != 2:
        print("usage: check_sdist.py SDIST.tar.gz", file=sys.stderr)
        return 2
    problems = check(argv[1])
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
