#!/usr/bin/env python3
"""Keeps the folders of src/ in their layers.

Reads every #include under src/ and app/ and fails on an include of a
project folder the layer table does not allow, on a Qt header in base or the
kits, and on a project library in a folder's link line (its CMakeLists.txt
DEPS) that none of the folder's files include: a library links only what it
includes.

    check_layers.py <source root>
"""
import os
import re
import sys

# Each folder and the folders it may include directly; what those may use is
# reachable too (arrows point only downwards).
MAY_USE = {
    "base": [],
    "kits/trellis": ["base"],
    "kits/tally": ["base", "kits/trellis"],
    "kits/blackbox/crashtime": [],
    "kits/blackbox": ["base", "kits/trellis", "kits/tally", "kits/blackbox/crashtime"],
    "core": ["base"],
    "templates": ["core"],
    "camera": ["core"],
    "greenscreen": ["core", "templates", "camera"],
    "sharing": ["core", "templates", "camera"],
    "gallery": ["core", "templates", "camera", "sharing"],
    "preferences": ["core", "templates", "camera", "sharing", "greenscreen"],
    "booth": ["core", "templates", "camera", "greenscreen", "sharing", "gallery", "preferences",
              "kits/blackbox", "kits/tally", "kits/trellis"],
    "app": ["booth"],
}
# Folders whose code must build without Qt: any C++ program can use the kits.
NO_QT = {"base", "kits/trellis", "kits/tally", "kits/blackbox", "kits/blackbox/crashtime"}
# CMake library name of each folder.
LIBRARY = {folder: folder.split("/")[-1] for folder in MAY_USE}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^Q[A-Za-z0-9_]*(/|$)|^Qt[A-Za-z]*/")


def reachable(folder):
    seen, todo = set(), list(MAY_USE[folder])
    while todo:
        f = todo.pop()
        if f not in seen:
            seen.add(f)
            todo.extend(MAY_USE[f])
    return seen


def folder_of_file(path):
    """The table's folder a source file belongs to (the deepest that matches)."""
    best = None
    for folder in MAY_USE:
        prefix = "app/" if folder == "app" else "src/" + folder + "/"
        if path.startswith(prefix) and (best is None or len(folder) > len(best)):
            best = folder
    return best


def folder_of_include(name):
    """The project folder an include names, or None for a system or local header."""
    best = None
    for folder in MAY_USE:
        if folder != "app" and name.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def check(root):
    faults = []
    used = {folder: set() for folder in MAY_USE}
    for top in ("src", "app"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".c", ".cc", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root)
                folder = folder_of_file(rel)
                if folder is None:
                    faults.append(f"{rel}: in no folder of the layer table")
                    continue
                allowed = reachable(folder)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        header = m.group(2)
                        if folder in NO_QT and QT_HEADER.match(header):
                            faults.append(f"{rel}:{number}: Qt header <{header}> in {folder}, which must build without Qt")
                            continue
                        target = folder_of_include(header)
                        if target is None or target == folder:
                            continue
                        used[folder].add(target)
                        if target not in allowed:
                            faults.append(f"{rel}:{number}: {folder} may not include {header} ({target})")
    faults.extend(check_link_lines(root, used))
    return faults


def check_link_lines(root, used):
    faults = []
    by_library = {lib: folder for folder, lib in LIBRARY.items()}
    for folder in MAY_USE:
        cmake = os.path.join(root, "app" if folder == "app" else "src/" + folder, "CMakeLists.txt")
        if not os.path.exists(cmake):
            continue
        text = open(cmake, encoding="utf-8").read()
        text = re.sub(r"#[^\n]*", "", text)
        for m in re.finditer(r"flashwren_library\(\s*\S+\s+DEPS([^)]*)\)", text):
            for dep in m.group(1).split():
                target = by_library.get(dep)
                if target is None or target == folder:
                    continue
                if target not in used[folder]:
                    faults.append(f"{os.path.relpath(cmake, root)}: {LIBRARY[folder]} links {dep}, which none of its files include")
    return faults


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    faults = check(os.path.abspath(root))
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} layer faults")
        return 1
    print("layers: every include and link line keeps to the table")
    return 0


if __name__ == "__main__":
    sys.exit(main())
