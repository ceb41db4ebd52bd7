#!/usr/bin/env python3
"""The documents against the programs, so that a renamed command or option
cannot leave them behind: every qmx4-fwctl, qmx4-fwload-pass or qmx4-fwload
command line the Markdown files and man pages show (in code, or on a roff
line) must name a command the program has and options that command takes,
as the programs' own --help lists them. And every man page renders without
a warning at 60 and 80 columns and has the sections a reader looks for.

Arguments: the directory of the built programs, then the documents."""
import os
import re
import subprocess
import sys

bindir, documents = sys.argv[1], sys.argv[2:]
failures = []


def run(*argv):
    return subprocess.run(argv, capture_output=True, text=True).stdout


def options(help_text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text)) | {"--help"}


fwctl = os.path.join(bindir, "qmx4-fwctl")
section = run(fwctl, "--help").split("Subcommands:", 1)[1]
commands = {m: options(run(fwctl, m, "--help")) for m in re.findall(r"^  ([a-z][a-z-]*) ", section, re.M)}
programs = {
    "qmx4-fwload-pass": options(run(os.path.join(bindir, "qmx4-fwload-pass"), "--help")),
    "qmx4-fwload": options(run(os.path.join(bindir, "qmx4-fwload"), "--help")),
}
if len(commands) < 5 or len(programs["qmx4-fwload-pass"]) < 5:
    sys.exit("FAIL: the programs' --help lists too few commands or options")


def roff_text(line):
    """A roff line as it reads: macro name gone, escapes resolved."""
    line = re.sub(r"^\.(B|I|BR|RB|IR|RI|BI|IB|TP|IP)\b ?", "", line)
    line = re.sub(r"\\f[BIRP]|\\:|\\c|\\&", "", line)
    line = line.replace("\\-", "-").replace("\\(aq", "'").replace("\\(dq", '"').replace('"', "")
    return line


def code_of(path):
    """(line number, code) pairs: Markdown code spans and indented blocks,
    or every text line of a man page."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if not path.endswith(".md"):
        return [(n, roff_text(l)) for n, l in enumerate(lines, 1) if not l.startswith(".\\\"")]
    pieces = []
    for n, line in enumerate(lines, 1):
        if line.startswith("    "):
            pieces.append((n, line))
        else:
            pieces += [(n, span) for span in re.findall(r"`([^`]+)`", line)]
    return pieces


def check(path, n, program, words):
    """The words after a program's name, up to the end of its command."""
    where = f"{os.path.basename(path)}:{n}: {program} {' '.join(words)}".rstrip()
    mentioned = [w.split("=")[0] for w in words if w.startswith("--")]
    if program != "qmx4-fwctl":
        for option in mentioned:
            if option not in programs[program]:
                failures.append(f"{where}: {program} has no option {option}")
        return
    given = [w for w in words if re.fullmatch(r"[a-z][a-z-]*", w)]
    command = next((w for w in given if w in commands), None)
    if command is None:
        if given:
            failures.append(f"{where}: qmx4-fwctl has no command {given[0]}")
        known = {"--help", "--version"}
    else:
        known = commands[command] | {"--version"}
    for option in mentioned:
        if option not in known:
            failures.append(f"{where}: {command or 'qmx4-fwctl'} takes no {option}")


seen = 0
for path in documents:
    for n, code in code_of(path):
        for m in re.finditer(r"(?<![\w/.-])(qmx4-fwctl|qmx4-fwload-pass|qmx4-fwload)(?![\w.-])((?: +[^ |;&)<>]+)*)", code):
            words = m.group(2).split()
            if "-" in words:  # "name - what it is", as NAME sections say
                words = words[:words.index("-")]
            # On a roff line, words after the name that do not start a
            # command line are prose; in Markdown code they must.
            if (m.group(1) == "qmx4-fwctl" and words and not words[0].startswith("-")
                    and words[0] not in commands and not path.endswith(".md")):
                words = []
            seen += 1
            check(path, n, m.group(1), words)

# Man pages: no warning at either width, and the sections man-pages(7) asks for.
wanted = {"8": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"],
          "5": ["NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXAMPLES", "SEE ALSO"],
          "7": ["NAME", "DESCRIPTION", "SEE ALSO"]}
pages = [p for p in documents if re.search(r"\.[578]$", p)]
for page in pages:
    name = os.path.basename(page)
    groff = subprocess.run(["groff", "-ww", "-man", "-z", page], capture_output=True, text=True)
    if groff.stderr:
        failures.append(f"{name}: groff -ww: {groff.stderr.strip()}")
    for width in ("60", "80"):
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                             env=dict(os.environ, MANWIDTH=width, MAN_KEEP_FORMATTING="0"))
        if man.stderr:
            failures.append(f"{name}: MANWIDTH={width}: {man.stderr.strip()}")
    with open(page, encoding="utf-8") as f:
        text = f.read()
    have = [s.strip('"') for s in re.findall(r"^\.SH (.*)$", text, re.M)]
    # A program's OPTIONS section gives exactly the options its --help lists
    # (the companion's, command by command, manpage_test.sh compares).
    program = name[:-2]
    if program in programs and "\n.SH OPTIONS\n" in text:
        block = text.split("\n.SH OPTIONS\n", 1)[1].split("\n.SH ", 1)[0]
        given = options(" ".join(roff_text(l) for l in re.findall(r"^\.TP\n(.*)$", block, re.M)))
        if given != programs[program]:
            failures.append(f"{name}: OPTIONS gives {sorted(given)}, --help lists {sorted(programs[program])}")
    missing = [s for s in wanted[page[-1]] if s not in have]
    if missing:
        failures.append(f"{name}: no {', '.join(missing)} section")

for failure in failures:
    print("FAIL:", failure)
if seen < 20:
    sys.exit(f"FAIL: only {seen} command lines found in {' '.join(documents)}")
print(f"{seen} command lines in {len(documents)} documents name commands and options the programs have;"
      f" {len(pages)} man pages render without warnings")
sys.exit(1 if failures else 0)
