#!/usr/bin/env python3
"""Prints the last lines of every failed test's output from a CTest JUnit
report, so that the reason for a red run stands next to CTest's summary
instead of hundreds of lines above it.

usage: failed-tails.py REPORT.xml [LINES]
"""
import sys
import xml.etree.ElementTree as ET


def main() -> int:
    report = sys.argv[1]
    lines = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    try:
        root = ET.parse(report).getroot()
    except (OSError, ET.ParseError) as e:
        print(f"failed-tails: cannot read {report}: {e}", file=sys.stderr)
        return 1
    for case in root.iter("testcase"):
        if case.get("status") != "fail" and case.find("failure") is None:
            continue
        out = (case.findtext("system-out") or "").rstrip("\n").split("\n")
        print(f"--- {case.get('name')}: the last {min(lines, len(out))} lines of its output")
        for line in out[-lines:]:
            print(f"    {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
