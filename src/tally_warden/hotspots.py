"""Command line of the source-code analyser: tally-warden-hotspots [PATH ...].

Prints the findings of the files and directories given (default "."), as text, JSON or
SARIF 2.1.0, and exits with 1 when a shown finding reaches --fail-on, else 0 (2 for usage
errors).
"""

import argparse
import os
import sys
from importlib import metadata

from tally_warden import hotspotter

SEVERITIES = ("LOW", "MEDIUM", "HIGH")
# Used when the installed package names no home page.
_FALLBACK_URI = "urn:tally-warden:hotspots"


def _type_list(text):
    names = [t.strip().upper() for t in text.split(",") if t.strip()]
    unknown = [t for t in names if t not in hotspotter._TYPES]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown finding type {', '.join(unknown)} (choose from {', '.join(hotspotter._TYPES)})")
    return names


def _parser():
    p = argparse.ArgumentParser(
        prog="tally-warden-hotspots",
        description="Find cloud-cost anti-patterns in Python, JavaScript/TypeScript and Terraform sources.")
    p.add_argument("paths", nargs="*", default=["."], metavar="PATH",
                   help="files or directories to analyse (default: the current directory)")
    p.add_argument("--format", choices=("text", "json", "sarif"), default="text", help="output format")
    p.add_argument("--min-severity", type=str.upper, choices=SEVERITIES, default="LOW",
                   help="show only findings at or above this severity (default: LOW)")
    p.add_argument("--select", type=_type_list, action="extend", default=[], metavar="TYPE,...",
                   help="show only these finding types")
    p.add_argument("--ignore", type=_type_list, action="extend", default=[], metavar="TYPE,...",
                   help="never show these finding types")
    p.add_argument("--fail-on", type=str.upper, choices=SEVERITIES + ("NEVER",), default="HIGH",
                   help="exit with status 1 when a shown finding is at or above this severity (default: HIGH)")
    p.add_argument("--exclude", action="append", default=[], metavar="NAME",
                   help="also skip directories of this name (repeatable, one name each)")
    return p


def _about():
    try:
        meta = metadata.metadata("tally-warden")
    except metadata.PackageNotFoundError:
        return "0+unknown", _FALLBACK_URI
    uri = meta.get("Home-page")
    for entry in meta.get_all("Project-URL") or []:
        uri = uri or entry.partition(",")[2].strip()
    return meta.get("Version", "0+unknown"), uri or _FALLBACK_URI


def _write(text):
    out = sys.stdout
    encoding = getattr(out, "encoding", None) or "utf-8"
    try:
        out.write(text.encode(encoding, "backslashreplace").decode(encoding))
        out.flush()
    except BrokenPipeError:
        # The reader went away (for example `| head`): say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())


def main(argv=None):
    parser = _parser()
    args = parser.parse_intermixed_args(argv)
    for path in args.paths:
        if not os.path.exists(path):
            parser.error(f"no such file or directory: {path}")
    for name in args.exclude:
        if not name or "/" in name:
            parser.error(f"--exclude takes one directory name, not {name!r}")
    findings, files, unreadable = hotspotter._scan(args.paths, args.exclude)
    for line in unreadable:
        print(line, file=sys.stderr)
    version, uri = _about()
    text, status = hotspotter._report(findings, files, args.format, args.min_severity, args.fail_on,
                                      args.select, args.ignore, os.getcwd(), version, uri)
    _write(text)
    return status


if __name__ == "__main__":
    sys.exit(main())
