#!/usr/bin/env python3
"""Prints one line per reason for the tests a CTest run skipped, read from its JUnit file.

    python3 scripts/skip-summary.py BUILD/test-results.xml

A skipped case says why on the line after GoogleTest's "Skipped" marker; cases with
the same reason are counted together so that a machine that lacks something shows it
once.
"""
import sys
import xml.etree.ElementTree as ET


def reason_of(output):
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = []
            for follow in lines[i + 1:]:
                if follow.startswith("[  SKIPPED ]"):
                    break
                reason.append(follow.strip())
            text = " ".join(r for r in reason if r)
            return text or "no reason given"
    return "no reason given"


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    try:
        root = ET.parse(sys.argv[1]).getroot()
    except (OSError, ET.ParseError) as e:
        print(f"skip-summary: cannot read {sys.argv[1]}: {e}", file=sys.stderr)
        return 1
    reasons = {}
    for case in root.iter("testcase"):
        if case.find("skipped") is None:
            continue
        out = case.find("system-out")
        reason = reason_of(out.text if out is not None and out.text else "")
        reasons.setdefault(reason, []).append(case.get("name", "?"))
    total = sum(len(names) for names in reasons.values())
    if total == 0:
        print("Skipped: none")
        return 0
    print(f"Skipped: {total} test{'s' if total != 1 else ''}")
    for reason, names in sorted(reasons.items(), key=lambda item: -len(item[1])):
        shown = ", ".join(names[:3]) + (f", ... ({len(names) - 3} more)" if len(names) > 3 else "")
        print(f"  {len(names)} x {reason}: {shown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
