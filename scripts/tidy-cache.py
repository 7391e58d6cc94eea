#!/usr/bin/env python3
"""Remembers which sources clang-tidy found clean, so that a later lint skips them.

    tidy-cache.py pending BUILD_DIR ROOT KEYS < sources   prints those not known to be clean,
                                                          and writes their keys to KEYS
    tidy-cache.py record KEYS LOG                         notes as clean the keys of the
                                                          sources that run-clang-tidy's LOG
                                                          reports no problem for

A source's key is what clang-tidy's verdict depends on: the clang-tidy version, every
.clang-tidy file, the compile command and the source as its own compiler preprocesses it
(every header it includes, with their paths). The clone's own path is taken out of both, so
that every clone on a machine shares the cache (KIVO_LINT_CACHE, default
~/.cache/kivo/clang-tidy; "off" lints every file). A source its compiler cannot preprocess
has no key: it is linted every time, and pending says how many there are.
"""

import concurrent.futures
import hashlib
import json
import os
import pathlib
import re
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


# Launchers that run the compiler named after them.
LAUNCHERS = {"ccache", "sccache", "distcc"}
# Options that name the dependency file the build writes: preprocessing must not write it.
DEPENDENCY_FLAGS = {"-MD", "-MMD"}
DEPENDENCY_OPTIONS = {"-MF", "-MT", "-MQ"}


def preprocess_command(entry):
    """The source's compile command, its own compiler told to stop after preprocessing."""
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    while len(words) > 1 and os.path.basename(words[0]) in LAUNCHERS:
        words = words[1:]
    kept = words[:1]
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
        elif word == "-o" or word in DEPENDENCY_OPTIONS:
            skip = True
        elif word != "-c" and word not in DEPENDENCY_FLAGS:
            kept.append(word)
    # Comments kept: a NOLINT is part of what clang-tidy reads. -w: GCC and clang alike.
    return kept + ["-E", "-C", "-w"]


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


# run-clang-tidy prints each file's invocation ("clang-tidy ... FILE") with all it said after.
INVOCATION = re.compile(r"^clang-tidy\S*\s.*\s(\S+)$")
PROBLEM = re.compile(r"\b(warning|error):|^Error while processing|terminated by signal")
COLOUR = re.compile(r"\x1b\[[0-9;]*m")


def unclean_sources(log):
    """The sources that a run-clang-tidy log reports a problem for, or that it never ran."""
    found = set()
    current = None
    for line in COLOUR.sub("", log).splitlines():
        invoked = INVOCATION.match(line)
        if invoked:
            current = invoked.group(1)
        elif current is not None and PROBLEM.search(line):
            found.add(current)
    return found


def record(key_file, log_file):
    store = cache_dir()
    if store is None:
        return
    log = pathlib.Path(log_file).read_text(encoding="utf-8", errors="replace")
    ran = {m.group(1) for m in map(INVOCATION.match, COLOUR.sub("", log).splitlines()) if m}
    unclean = unclean_sources(log)
    for line in pathlib.Path(key_file).read_text().splitlines():
        key, _, source = line.partition("\t")
        if key and source in ran and source not in unclean:
            (store / key).touch()


def main():
    action = sys.argv[1]
    store = cache_dir()
    if action == "record":
        record(sys.argv[2], sys.argv[3])
        return
    build, root, key_file = sys.argv[2:5]
    sources = [line for line in sys.stdin.read().splitlines() if line]
    if store is None:
        print("\n".join(sources))
        return
    store.mkdir(parents=True, exist_ok=True)
    new_keys = []
    keyless = 0
    for source, key in keys(build, os.path.abspath(root), sources).items():
        if key is None:
            keyless += 1
            print(source)
        elif not (store / key).exists():
            print(source)
            new_keys.append(key + "\t" + source)
    pathlib.Path(key_file).write_text("".join(line + "\n" for line in new_keys))
    if keyless:
        print(f"lint: {keyless} file(s) could not be preprocessed by their compile command; "
              "they are analysed on every run", file=sys.stderr)


if __name__ == "__main__":
    main()
