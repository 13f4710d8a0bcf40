#!/usr/bin/env python3
"""Writes CHANGELOG.md (Keep a Changelog) as a Debian changelog, the form that Debian's tools
read from a package's changelog.gz.

Usage: debian_changelog.py CHANGELOG.md PACKAGE MAINTAINER > changelog
"""
import datetime
import email.utils
import re
import sys
import textwrap


def releases(text):
    """Yields (version, date, [(heading, [entry, ...]), ...]) for each release, newest first."""
    release = None
    for line in text.splitlines():
        if match := re.match(r"## \[([^\]]+)\] - (\d{4}-\d{2}-\d{2})", line):
            if release:
                yield release
            release = (match[1], match[2], [])
        elif release is None or not line.strip():
            continue
        elif match := re.match(r"### (.+)", line):
            release[2].append((match[1], []))
        elif line.startswith("- ") and release[2]:
            release[2][-1][1].append(line[2:].strip())
        elif line.startswith("  ") and release[2] and release[2][-1][1]:
            release[2][-1][1][-1] += " " + line.strip()
    if release:
        yield release


def debian_changelog(text, package, maintainer):
    entries = []
    for version, date, sections in releases(text):
        lines = [f"{package} ({version}) unstable; urgency=medium", ""]
        for heading, items in sections:
            lines.append(f"  [ {heading} ]")
            for item in items:
                lines += textwrap.wrap(item.replace("`", ""), 78, initial_indent="  * ",
                                       subsequent_indent="    ", break_on_hyphens=False)
        day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        lines += ["", f" -- {maintainer}  {email.utils.format_datetime(day)}", ""]
        entries.append("\n".join(lines))
    if not entries:
        raise SystemExit("no release in the changelog")
    return "\n".join(entries)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as changelog:
        sys.stdout.write(debian_changelog(changelog.read(), sys.argv[2], sys.argv[3]))
