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


def mbpoll_commands(root):
    """(where, argument list) of each mbpoll command line and option of the documents."""
    for doc in documents(root):
        with open(doc, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                where = "%s:%d" % (os.path.relpath(doc, root), number)
                for text in re.findall(r"(?:^|`)\s*(mbpoll -[^`|;]*)", line):
                    yield where, shlex.split(text)[1:]
                for option in re.findall(r"mbpoll:? `(-[^`]*)`", line):
                    yield where, shlex.split(option)


def check_mbpoll(root):
    if shutil.which("mbpoll") is None:
        print("skipped: mbpoll is not installed")
        sys.exit(77)
    # A port on the loopback that refuses connections: bound here, never listening.
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = str(closed.getsockname()[1])
    failures = []
    checked = 0
    for where, args in mbpoll_commands(root):
        args = list(args)
        if "-p" in args:
            args[args.index("-p") + 1] = port
        else:
            args = ["-p", port] + args
        if "127.0.0.1" not in args:
            args.append("127.0.0.1")
        run = subprocess.run(["mbpoll"] + args, capture_output=True, text=True, timeout=30,
                             stdin=subprocess.DEVNULL)
        out = run.stdout + run.stderr
        checked += 1
        # Options that pass its check bring mbpoll as far as connecting.
        if "Connection failed" not in out:
            failures.append("%s: mbpoll %s: %s" % (where, " ".join(args), out.strip()[-200:]))
    if checked == 0:
        failures.append("no mbpoll command found in the documents")
    print("%d mbpoll commands checked" % checked)
    return failures


def check_probe(root, probe):
    """Each `kovex4-probe modbus` command of the documents (not an outline with "..."), pointed
    at a closed port on the loopback, gets as far as connecting (or loading the TLS files it
    names): its options are right."""
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = str(closed.getsockname()[1])
    failures = []
    checked = 0
    for doc in documents(root):
        with open(doc, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                for text in re.findall(r"kovex4-probe (modbus [^`|]*)", line):
                    if "..." in text:
                        continue  # an outline, not a command
                    args = shlex.split(text)
                    for option, value in (("--host", "127.0.0.1"), ("--port", port)):
                        if option in args:
                            args[args.index(option) + 1] = value
                    run = subprocess.run([probe] + args, capture_output=True, text=True,
                                         timeout=30, stdin=subprocess.DEVNULL)
                    out = run.stdout + run.stderr
                    checked += 1
                    if run.returncode != 2 or not re.search(
                            r"cannot connect|Read/write of file failed", out):
                        failures.append("%s:%d: kovex4-probe %s: %s" % (
                            os.path.relpath(doc, root), number, " ".join(args),
                            out.strip()[-200:]))
    if checked == 0:
        failures.append("no kovex4-probe modbus command found in the documents")
    print("%d kovex4-probe modbus commands checked" % checked)
    return failures


def main():
    what, root = sys.argv[1], sys.argv[2]
    failures = (check_links(root) if what == "links" else
                check_probe(root, sys.argv[3]) if what == "probe" else check_mbpoll(root))
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
