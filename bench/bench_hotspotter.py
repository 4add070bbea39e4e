"""Time Hotspotter.trace_directory over the host's standard library against ast.parse
alone over the same .py files, read the same way, and print the ratio."""

import ast
import pathlib
import sys
import sysconfig
import time
import warnings

from tally_warden.hotspotter import Hotspotter


def python_files(root):
    return sorted(p for p in root.rglob("*") if p.suffix.lower() == ".py" and p.is_file())


def parse_all(files):
    for p in files:
        with open(p, encoding="utf-8", errors="replace") as f:
            text = f.read()
        try:
            ast.parse(text, filename=str(p))
        except (SyntaxError, RecursionError, MemoryError):
            pass


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else sysconfig.get_paths()["stdlib"])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    files = python_files(root)
    warnings.simplefilter("ignore")
    best_parse = best_trace = float("inf")
    findings = 0
    for _ in range(rounds):
        t0 = time.perf_counter()
        parse_all(files)
        t1 = time.perf_counter()
        findings = len(Hotspotter.trace_directory(str(root)))
        t2 = time.perf_counter()
        best_parse = min(best_parse, t1 - t0)
        best_trace = min(best_trace, t2 - t1)
    print(f"{len(files)} .py files under {root}, {findings} findings")
    print(f"ast.parse alone:            {best_parse:8.3f} s (best of {rounds})")
    print(f"Hotspotter.trace_directory: {best_trace:8.3f} s (best of {rounds})")
    print(f"ratio: {best_trace / best_parse:.3f}")


if __name__ == "__main__":
    main()
