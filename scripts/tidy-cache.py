#!/usr/bin/env python3
"""Remembers which sources clang-tidy found clean, so that a later lint skips them.

    tidy-cache.py pending BUILD_DIR ROOT KEYS < sources   prints those not known to be clean,
                                                          and writes their keys to KEYS
    tidy-cache.py record KEYS                             notes those keys as clean

A source's key is what clang-tidy's verdict depends on: the clang-tidy version, every
.clang-tidy file, the compile command and the source as clang preprocesses it (every header
it includes, with their paths). The clone's own path is taken out of both, so that every
clone on a machine shares the cache (KIVO_LINT_CACHE, default ~/.cache/kivo/clang-tidy;
"off" lints every file).
"""

import concurrent.futures
import hashlib
import json
import os
import pathlib
import shlex
import subprocess
import sys


def cache_dir():
    chosen = os.environ.get("KIVO_LINT_CACHE")
    if chosen == "off":
        return None
    if chosen:
        return pathlib.Path(chosen)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "kivo" / "clang-tidy"


def common_key(root):
    digest = hashlib.sha256()
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True, check=True)
    digest.update(version.stdout)
    # The project's own configurations, not those of what a build tree fetched.
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "--", "*.clang-tidy"],
        cwd=root, capture_output=True, text=True, check=True)
    for config in sorted(listed.stdout.split()):
        digest.update(config.encode() + b"\0" + pathlib.Path(root, config).read_bytes())
    return digest.hexdigest()


def preprocess_command(entry):
    """The source's compile command, run by clang to stop after preprocessing."""
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept = ["clang++"]
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
        elif word == "-o":
            skip = True
        elif word != "-c":
            kept.append(word)
    # Comments kept: a NOLINT is part of what clang-tidy reads.
    return kept + ["-E", "-C", "-Wno-everything"]


def file_key(common, entry, root):
    command = preprocess_command(entry)
    done = subprocess.run(command, cwd=entry["directory"], capture_output=True)
    if done.returncode != 0:
        return None  # let clang-tidy say what is wrong
    digest = hashlib.sha256(common.encode())
    digest.update(" ".join(command).replace(root, "@ROOT@").encode() + b"\0")
    digest.update(done.stdout.replace(root.encode(), b"@ROOT@"))
    return digest.hexdigest()


def keys(build, root, sources):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as database:
        entries = {e["file"]: e for e in json.load(database)}
    common = common_key(root)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        found = pool.map(lambda source: file_key(common, entries[source], root), sources)
        return dict(zip(sources, found))


def main():
    action = sys.argv[1]
    store = cache_dir()
    if action == "record":
        if store is not None:
            for key in pathlib.Path(sys.argv[2]).read_text().split():
                (store / key).touch()
        return
    build, root, key_file = sys.argv[2:5]
    sources = [line for line in sys.stdin.read().splitlines() if line]
    if store is None:
        print("\n".join(sources))
        return
    store.mkdir(parents=True, exist_ok=True)
    new_keys = []
    for source, key in keys(build, os.path.abspath(root), sources).items():
        if key is None or not (store / key).exists():
            print(source)
            if key is not None:
                new_keys.append(key)
    pathlib.Path(key_file).write_text("\n".join(new_keys) + "\n")


if __name__ == "__main__":
    main()
