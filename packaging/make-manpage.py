#!/usr/bin/env python3
"""Fills a man page template: @VERSION@, and @COMMANDS@ with the commands of PROGRAM as its own
`--help` and `help COMMAND` describe them.

Usage: make-manpage.py PROGRAM|- TEMPLATE OUT VERSION   (- for a page without @COMMANDS@)
"""

import os
import subprocess
import sys
import tempfile


def roff(text):
    """Text safe in a roff line: backslashes and leading control characters escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def run(program, *args):
    # Whatever the program's start touches stays in a scratch home.
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, ORVIK_HOME=home, HOME=home)
        done = subprocess.run([program, *args], capture_output=True, text=True, env=env)
    return (done.stdout + done.stderr).splitlines()


def commands(program):
    names = [line.split()[0] for line in run(program, "--help") if line.startswith("  ") and line.strip()]
    if not names:
        sys.exit("make-manpage: %s --help lists no commands" % program)
    out = []
    for name in names:
        lines = [line for line in run(program, "help", name) if line.strip()]
        synopsis = lines[0].strip()
        words = synopsis.split(" ", 2)
        out.append(".TP")
        out.append("\\fB%s %s\\fR %s" % (roff(words[0]), roff(words[1]), roff(words[2]) if len(words) > 2 else ""))
        out.extend(roff(line.strip()) for line in lines[1:])
    return "\n".join(out)


def main():
    program, template, target, version = sys.argv[1:5]
    text = open(template, encoding="utf-8").read().replace("@VERSION@", version)
    if "@COMMANDS@" in text:
        text = text.replace("@COMMANDS@", commands(program))
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
