#!/usr/bin/python3
"""Checks that a program's manual page and its --help name the same options.

man_page_check.py PROGRAM MANPAGE: the options are taken from the option
column of `PROGRAM --help` (generated from the program's option table) and
from the OPTIONS section of the manual page's troff source (every
\\-\\-name, and every short \\-X on a .B/.BI/.BR line). Prints the options
only one of them has; exit status 1 when there is one, so neither can drift
from the other.
"""
import re
import subprocess
import sys

program, manpage = sys.argv[1], sys.argv[2]
help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
in_help = set()
for line in help_text.splitlines():
    m = re.match(r"^\s+((?:-{1,2}[A-Za-z][\w-]*)(?:\s*,\s*-{1,2}[A-Za-z][\w-]*)*)", line)
    if m:
        in_help.update(re.findall(r"-{1,2}[A-Za-z][\w-]*", m.group(1)))

troff = open(manpage, encoding="utf-8").read()
# The OPTIONS section only: examples may show other programs' options.
section = re.search(r"^\.SH OPTIONS\s*$(.*?)(?=^\.SH )", troff, re.S | re.M)
troff = section.group(1) if section else ""
in_man = {"--" + n for n in re.findall(r"\\-\\-([a-z][a-z0-9-]*)", troff)}
for line in troff.splitlines():
    if re.match(r"^\.(B|BI|BR)\s", line):
        in_man.update("-" + c for c in re.findall(r"(?<![\\\w-])\\-([A-Za-z])(?![\w-])", line))

missing_in_man = sorted(in_help - in_man)
missing_in_help = sorted(o for o in in_man - in_help if o.startswith("--"))
for o in missing_in_man:
    print(f"{manpage}: {o} is in `{program} --help` but not in the manual page")
for o in missing_in_help:
    print(f"{manpage}: {o} is in the manual page but not in `{program} --help`")
if not in_help:
    print(f"no options found in `{program} --help`")
sys.exit(1 if missing_in_man or missing_in_help or not in_help else 0)
