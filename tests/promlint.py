#!/usr/bin/python3
"""Checks a text in Prometheus' exposition format, read from standard input
or the file given, with the parser of Debian's python3-prometheus-client:
it must parse, and every metric family must have one HELP and one TYPE
line. Exit status 1 with the reasons on standard error otherwise."""
import sys

from prometheus_client.parser import text_string_to_metric_families


def problems(text):
    families = list(text_string_to_metric_families(text))
    if not families:
        yield "no metric families"
    for family in families:
        if not family.documentation:
            yield family.name + ": no HELP line"
        if family.type == "unknown":
            yield family.name + ": no TYPE line"
    helps = [line.split()[2] for line in text.splitlines() if line.startswith("# HELP ")]
    if len(helps) != len(set(helps)):
        yield "a family is described twice"


def main():
    text = open(sys.argv[1]).read() if len(sys.argv) > 1 else sys.stdin.read()
    try:
        found = list(problems(text))
    except Exception as error:  # the parser's refusal, whatever its kind
        found = ["does not parse: %s" % error]
    for problem in found:
        print("promlint: " + problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
