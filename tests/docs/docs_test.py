#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks the documents against what they point at: `links SOURCE_DIR` (every relative link and
anchor exists), `mbpoll SOURCE_DIR` (every mbpoll command passes mbpoll's own option check; exit
status 77 without mbpoll), `probe SOURCE_DIR PROBE` (every `kovex4-probe modbus` command passes
the probe's own option check)."""
import glob
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys

FENCE = re.compile(r"^\s*```")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def documents(root):
    return sorted(glob.glob(os.path.join(root, "docs", "*.md"))) + [
        os.path.join(root, "README.md"), os.path.join(root, "tools", "devsim", "README.md")]


def lines_outside_code(path):
    """(line number, text) of the lines outside fenced code blocks."""
    inside = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                inside = not inside
            elif not inside:
                yield number, line


def anchors(path):
    """The anchors of the file's headings, made as the usual Markdown renderers make them."""
    seen = {}
    result = set()
    for _, line in lines_outside_code(path):
        m = re.match(r"^#{1,6}\s+(.*?)\s*$", line)
        if not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else "%s-%d" % (slug, count))
    return result


def check_links(root):
    failures = []
    for doc in documents(root):
        for number, line in lines_outside_code(doc):
            # Code spans are not links.
            for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
                if re.match(r"^[a-z]+:", target):
                    continue
                path, _, anchor = target.partition("#")
                full = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
                where = "%s:%d: %s" % (os.path.relpath(doc, root), number, target)
                if not os.path.exists(full):
                    failures.append(where + ": no such file")
                elif anchor and (not full.endswith(".md") or anchor not in anchors(full)):
                    failures.append(where + ": no such heading")
    return failures


def check_commands(root, program, name, patterns, prepare, passed):
    """Runs PROGRAM with the arguments of each NAME command of the documents (the texts PATTERNS
    find), PREPARE(args, port) pointing them at a port on the loopback that refuses connections
    (None: an outline, not a command). PASSED(status, output) tells that the options got past the
    program's own check, as far as connecting (or loading files they name)."""
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = str(closed.getsockname()[1])
    failures, checked = [], 0
    for doc in documents(root):
        with open(doc, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                for text in (text for pattern in patterns for text in re.findall(pattern, line)):
                    args = prepare(shlex.split(text), port)
                    if args is None:
                        continue
                    run = subprocess.run([program] + args, capture_output=True, text=True,
                                         timeout=30, stdin=subprocess.DEVNULL)
                    out = run.stdout + run.stderr
                    checked += 1
                    if not passed(run.returncode, out):
                        failures.append("%s:%d: %s %s: %s" % (os.path.relpath(doc, root), number,
                                                              name, " ".join(args),
                                                              out.strip()[-200:]))
    if checked == 0:
        failures.append("no %s command found in the documents" % name)
    print("%d %s commands checked" % (checked, name))
    return failures


def mbpoll_args(args, port):
    if "-p" in args:
        args[args.index("-p") + 1] = port
    else:
        args = ["-p", port] + args
    return args + ["127.0.0.1"] * ("127.0.0.1" not in args)


def probe_args(args, port):
    for option, value in (("--host", "127.0.0.1"), ("--port", port)):
        if option in args:
            args[args.index(option) + 1] = value
    return None if any("..." in arg for arg in args) else args


def main():
    what, root = sys.argv[1], sys.argv[2]
    if what == "links":
        failures = check_links(root)
    elif what == "probe":
        failures = check_commands(
            root, sys.argv[3], "kovex4-probe", [r"kovex4-probe (modbus [^`|]*)"], probe_args,
            lambda status, out: status == 2 and re.search(
                r"cannot connect|No such file or directory", out))
    elif shutil.which("mbpoll") is None:
        print("skipped: mbpoll is not installed")
        return 77
    else:
        # Command lines, and options written as mbpoll's.
        failures = check_commands(root, "mbpoll", "mbpoll", [r"(?:^|`)\s*mbpoll (-[^`|;]*)",
                                                             r"mbpoll:? `(-[^`]*)`"],
                                  mbpoll_args, lambda status, out: "Connection failed" in out)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
