#!/usr/bin/env python3
"""Fails when a file under src/ or tools/ includes a header of a higher layer.

Headers are included by their bare names, so each name is looked up among the project's own
headers; a name that two folders share is an error too, since the include would be ambiguous.
"""
import pathlib
import re
import sys

# Lowest first; a file may include headers of its own layer and the layers before it.
LAYERS = [
    ("platform", ["src/platform"]),
    ("app state", ["src/app/state"]),
    ("discovery and archive", ["src/discovery", "src/archive"]),
    ("listing", ["src/listing"]),
    ("main_window and search", ["src/main_window", "src/search"]),
    ("programs", ["src/app", "tools"]),
]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
SOURCES = {".c", ".cpp", ".h"}


def layer_of(relative):
    # The longest folder that holds the file decides: src/app/state before src/app.
    best = None
    for rank, (_, folders) in enumerate(LAYERS):
        for folder in folders:
            if relative.startswith(folder + "/") and (best is None or len(folder) > best[1]):
                best = (rank, len(folder))
    return None if best is None else best[0]


def violations(root):
    files = sorted(p for top in ("src", "tools") for p in (root / top).rglob("*")
                   if p.suffix in SOURCES)
    headers = {}
    problems = []
    for path in files:
        if path.suffix == ".h":
            if path.name in headers:
                problems.append(f"{path.name} is both {headers[path.name]} and {path}")
            headers[path.name] = path
    for path in files:
        relative = path.relative_to(root).as_posix()
        rank = layer_of(relative)
        if rank is None:
            problems.append(f"{relative} is in no layer")
            continue
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            header = headers.get(pathlib.PurePath(name).name)
            if header is None:
                continue
            target = layer_of(header.relative_to(root).as_posix())
            if target > rank:
                problems.append(f"{relative} ({LAYERS[rank][0]}) includes {name} "
                                f"({LAYERS[target][0]})")
    return problems


if __name__ == "__main__":
    problems = violations(pathlib.Path(sys.argv[1]).resolve())
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)
