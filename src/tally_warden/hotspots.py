"""Command line of the source-code analyser: tally-warden-hotspots [PATH ...].

Prints the findings of the files and directories given (default "."), as text, JSON or
SARIF 2.1.0, and exits with 1 when a shown finding reaches --fail-on, else 0 (2 for usage
errors). Inside a git work tree, files that git ignores are skipped unless named.
"""

import argparse
import ast
import json
import os
import re
import subprocess
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
    p.add_argument("--baseline", metavar="FILE",
                   help="a JSON or SARIF report of an earlier run: show and fail only on findings it lacks")
    p.add_argument("--diff", action="store_true",
                   help="show only findings on lines (or in loops whose line) the staged change adds or modifies")
    return p


def _git(args, cwd):
    try:
        r = subprocess.run(["git", "-c", "core.quotePath=false", *args], cwd=cwd, capture_output=True,
                           stdin=subprocess.DEVNULL)
    except OSError:
        return None
    return r.stdout.decode("utf-8", "surrogateescape") if r.returncode == 0 else None


def _ignored(paths):
    """Files and directories below the directories given that git ignores, as the walk names them."""
    out = []
    for root in paths:
        if not os.path.isdir(root):
            continue
        listed = _git(["ls-files", "-z", "--others", "--ignored", "--exclude-standard", "--directory"], root)
        for rel in (listed or "").split("\0"):
            rel = rel.rstrip("/")
            if rel and rel != ".":
                out.append(os.path.normpath(os.path.join(root, rel)))
    return out


def _baseline(parser, path):
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        if "runs" in data:
            return [r["partialFingerprints"]["primaryLocationLineHash"]
                    for run in data["runs"] for r in run.get("results", [])]
        return hotspotter._fingerprints(data["findings"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        parser.error(f"--baseline {path}: not a JSON or SARIF report of this command ({e.__class__.__name__}: {e})")


_HUNK = re.compile(r"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@")


def _staged_lines(parser):
    """{absolute path: set of line numbers} that the staged change adds or modifies."""
    top = _git(["rev-parse", "--show-toplevel"], os.getcwd())
    diff = _git(["diff", "--cached", "--unified=0", "--no-color", "--no-ext-diff", "--no-renames",
                 "--src-prefix=a/", "--dst-prefix=b/"], os.getcwd()) if top else None
    if diff is None:
        parser.error("--diff needs a git work tree")
    top = top.strip()
    changed, current = {}, None
    for line in diff.splitlines():
        if line.startswith("+++ "):
            name = line[4:]
            current = changed.setdefault(os.path.realpath(os.path.join(top, name[2:])), set()) \
                if name.startswith("b/") else None
        elif current is not None and (m := _HUNK.match(line)):
            start, count = int(m.group(1)), int(m.group(2) or 1)
            current.update(range(start, start + count))
    return changed


def _loop_lines(path):
    """{line: header lines of the Python loops around it} for one file."""
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read())
    except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
        return {}
    loops = (ast.For, ast.AsyncFor, ast.While, ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)
    around = {}
    for node in ast.walk(tree):
        if isinstance(node, loops):
            for n in range(node.lineno, (node.end_lineno or node.lineno) + 1):
                around.setdefault(n, []).append(node.lineno)
    return around


_JS_LOOP_LINE = re.compile(r"loop (?:starting )?at line (\d+)")


def _in_change(findings, changed):
    kept, loops = [], {}
    for f in findings:
        path = os.path.realpath(f["file"])
        lines = changed.get(path)
        if not lines:
            continue
        if f["line"] in lines:
            kept.append(f)
            continue
        heads = set(int(n) for n in _JS_LOOP_LINE.findall(f["message"]))
        if path.lower().endswith(".py"):
            if path not in loops:
                loops[path] = _loop_lines(path)
            heads.update(loops[path].get(f["line"], ()))
        if heads & lines:
            kept.append(f)
    return kept


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
    baseline = _baseline(parser, args.baseline) if args.baseline else None
    changed = _staged_lines(parser) if args.diff else None
    findings, files, unreadable = hotspotter._scan(args.paths, args.exclude, _ignored(args.paths))
    for line in unreadable:
        print(line, file=sys.stderr)
    if changed is not None:
        findings = _in_change(findings, changed)
    version, uri = _about()
    text, status = hotspotter._report(findings, files, args.format, args.min_severity, args.fail_on,
                                      args.select, args.ignore, os.getcwd(), version, uri, baseline)
    _write(text)
    return status


if __name__ == "__main__":
    sys.exit(main())
