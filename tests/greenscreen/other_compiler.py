#!/usr/bin/env python3
"""Compiles sources of this build with a second compiler, syntax only.

    other_compiler.py <build-dir> <compiler> <source>...

Each source is compiled with the flags this build gives it (from the build's
compile_commands.json). Exits 77 (skipped) when the compiler is missing or
is the one this build uses.
"""
import json
import os
import shlex
import shutil
import subprocess
import sys

build, compiler, sources = sys.argv[1], sys.argv[2], sys.argv[3:]
path = shutil.which(compiler)
if not path:
    print(f"{compiler} is not installed")
    sys.exit(77)
commands = {os.path.realpath(e["file"]): e for e in json.load(open(os.path.join(build, "compile_commands.json")))}
failed = 0
for source in sources:
    source = os.path.realpath(source)
    entry = commands[source]
    words = shlex.split(entry["command"])
    # Past any launcher (a compiler cache), the compiler, then its flags.
    start = next(i for i, w in enumerate(words) if not w.endswith("ccache"))
    if os.path.realpath(shutil.which(words[start]) or words[start]) == os.path.realpath(path):
        print(f"this build already uses {compiler}")
        sys.exit(77)
    flags, skip = [], False
    rest = words[start + 1:]
    for i, w in enumerate(rest):
        if skip:
            skip = False
        elif w in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        # This build's precompiled header is its own compiler's: the source
        # is read without it.
        elif w == "-include" and i + 1 < len(rest) and rest[i + 1].endswith("cmake_pch.hxx"):
            skip = True
        elif w not in ("-c", "-MD", "-MMD", "-Winvalid-pch") and os.path.realpath(w) != os.path.realpath(source):
            flags.append(w)
    run = subprocess.run([path, *flags, "-fsyntax-only", source], cwd=entry["directory"])
    if run.returncode:
        print(f"{compiler} rejects {source}")
        failed += 1
sys.exit(1 if failed else 0)
