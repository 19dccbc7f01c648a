#!/usr/bin/env python3
"""The documents' command blocks, run as a reader would run them, so that a path or an output that changes shows.

usage: doc_test.py <source dir> <build dir> <ostrel tool> <python3 with PyVISA> <document>...

A ```sh block holds commands: each must succeed. A block of "$ " lines is a transcript: what each command
prints (stdout and stderr) must be the lines after it, but for timestamps, log files, build folders and the
time a wait took (and whether the library's log had said why by then); a line "..." stands for any lines.
Other blocks are not run. Just before a block, in the Markdown:
  <!-- doc-test: skip (why) -->   the block is not run, and the report says why
  <!-- doc-test: file NAME -->    the block is saved as NAME, for the commands after it
Each document runs in a scratch folder that looks like the top of the source tree (its entries linked,
build/linux-release this build) with the files of tests/docs/files beside them; `ostrel` and `python3`
are this build's tool and the interpreter given.
"""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

source, build, tool, python = (pathlib.Path(p).resolve() for p in sys.argv[1:5])
documents = sys.argv[5:]
MARKER = re.compile(r"<!-- doc-test: (skip \((?P<why>.+)\)|file (?P<file>\S+)) -->")
FENCE = re.compile(r"^(?P<indent>\s*)```(?P<lang>\S*)\s*$")
PROMPT = re.compile(r"^(\$|C:\\>) ")
SEP = "\x1edoc-test\x1e"


def blocks(path):
    """(line number, language, text, marker) of each fenced block."""
    lines = path.read_text().splitlines()
    i = 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        before = [line for line in lines[:i] if line.strip()]
        marker = MARKER.search(before[-1]) if before else None
        end = next(j for j in range(i + 1, len(lines)) if lines[j].strip() == "```")
        indent = len(fence["indent"])
        yield i + 1, fence["lang"], "\n".join(line[indent:] for line in lines[i + 1:end]) + "\n", marker
        i = end + 1


def normalise(text):
    for actual in {str(build), os.path.realpath(build)}:
        text = text.replace(actual, "<build>")
    text = re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}", "<time>", text)
    text = re.sub(r"\S*Log\d{4}-\d\d-\d\d_Native\.txt", "<log>", text)
    text = re.sub(r"(/[^\s/]+)*/build/linux-release(?=/)", "<build>", text)
    # How long a wait really took, and whether the library's own read had given up and logged why by then.
    text = re.sub(r"within \d+ ms( \(log: [^)]*\))?", "within <n> ms", text)
    return [line.rstrip() for line in text.splitlines()]


def matches(expected, actual):
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(matches(expected[1:], actual[n:]) for n in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def transcript(text):
    """The commands of a transcript and the lines shown after each."""
    steps = []
    for line in text.splitlines():
        if PROMPT.match(line):
            steps.append((PROMPT.sub("", line, count=1), []))
        elif steps:
            steps[-1][1].append(line)
    return steps


def run(script, folder, env):
    return subprocess.run(["bash", "-c", script], cwd=folder, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120)


def check_transcript(text, folder, env):
    """What went wrong, or None."""
    steps = transcript(text)
    script = "exec 2>&1\n" + "".join(
        f"__status=$?; printf '{SEP}\\n'; (exit $__status)\n{command}\n" for command, _ in steps)
    outputs = re.split(f"\n?{SEP}\n", run(script, folder, env).stdout)[1:]
    for (command, shown), output in zip(steps, outputs):
        if not matches(normalise("\n".join(shown)), normalise(output)):
            return f"$ {command}\nshown:\n" + "\n".join(shown) + "\nprinted:\n" + output
    return None


def check_commands(text, folder, env):
    done = run("set -e\n" + text, folder, env)
    return None if done.returncode == 0 else f"exit status {done.returncode}:\n{done.stdout}"


def scratch_tree(folder):
    for entry in source.iterdir():
        if entry.name not in (".git", "build"):
            (folder / entry.name).symlink_to(entry)
    (folder / "build").mkdir()
    (folder / "build/linux-release").symlink_to(build)
    for fixture in (source / "tests/docs/files").iterdir():
        (folder / fixture.name).write_bytes(fixture.read_bytes())
    (folder / "log").mkdir()
    (folder / "bin").mkdir()
    (folder / "bin/ostrel").symlink_to(tool)
    (folder / "bin/python3").symlink_to(python)
    env = {k: v for k, v in os.environ.items() if not k.startswith("OSTREL_")}
    env.update(OSTREL_LOG_DIR=str(folder / "log"), PATH=f"{folder / 'bin'}:{os.environ['PATH']}",
               PYTHONDONTWRITEBYTECODE="1")
    return env


def check_document(name):
    """(passed, skipped, failed) for one document; the report as it goes."""
    counts = [0, 0, 0]
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        env = scratch_tree(folder)
        for line, lang, text, marker in blocks(source / name):
            where = f"{name}:{line}"
            is_transcript = lang == "" and any(PROMPT.match(l) for l in text.splitlines())
            if marker and marker["file"]:
                (folder / marker["file"]).write_text(text)
                continue
            if not is_transcript and lang != "sh":
                continue
            if marker:
                print(f"skipped  {where}: {marker['why']}")
                counts[1] += 1
                continue
            try:
                fault = (check_transcript if is_transcript else check_commands)(text, folder, env)
            except subprocess.TimeoutExpired:
                fault = "still running after 120 s"
            print(f"{'FAILED' if fault else 'ok':8} {where}" + (f"\n{fault}" if fault else ""))
            counts[2 if fault else 0] += 1
    return counts


totals = [sum(c) for c in zip(*(check_document(name) for name in documents))]
print(f"blocks: {totals[0]} ran as shown, {totals[2]} did not, {totals[1]} skipped")
sys.exit(1 if totals[2] or not totals[0] else 0)
