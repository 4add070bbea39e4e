"""Time the source analyser over the host's standard library against ast.parse alone over the
same .py files, read the same way, and print the ratios: Hotspotter.trace_directory in-process,
and the tally-warden-hotspots command writing SARIF to a file (process start included)."""

import ast
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings

from tally_warden.hotspotter import Hotspotter

# Directories that the analyser's walk does not enter.
SKIPPED = {".git", ".venv", "venv", "node_modules", ".tox", "__pycache__", ".pytest_cache"}


def python_files(root):
    found = []
    for dirpath, dirnames, filenames in os.walk(root, followlinks=True):
        dirnames[:] = [d for d in dirnames if d not in SKIPPED]
        found += [pathlib.Path(dirpath, f) for f in filenames if f.lower().endswith(".py")]
    return sorted(p for p in found if p.is_file())


def parse_all(files):
    for p in files:
        with open(p, encoding="utf-8", errors="replace") as f:
            text = f.read()
        try:
            ast.parse(text, filename=str(p))
        except (SyntaxError, RecursionError, MemoryError):
            pass


def run_command(root, out_path):
    with open(out_path, "w") as out:
        cmd = [sys.executable, "-P", "-m", "tally_warden.hotspots", "--format", "sarif", "--fail-on", "never",
               str(root)]
        subprocess.run(cmd, stdout=out, check=True)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else sysconfig.get_paths()["stdlib"])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    files = python_files(root)
    warnings.simplefilter("ignore")
    best = {"parse": float("inf"), "trace": float("inf"), "command": float("inf")}
    findings = 0
    with tempfile.TemporaryDirectory() as tmp:
        sarif = pathlib.Path(tmp, "hotspots.sarif")
        for _ in range(rounds):
            t0 = time.perf_counter()
            parse_all(files)
            t1 = time.perf_counter()
            findings = len(Hotspotter.trace_directory(str(root)))
            t2 = time.perf_counter()
            run_command(root, sarif)
            t3 = time.perf_counter()
            for key, t in (("parse", t1 - t0), ("trace", t2 - t1), ("command", t3 - t2)):
                best[key] = min(best[key], t)
        sarif_bytes = sarif.stat().st_size
    print(f"{len(files)} .py files under {root}, {findings} findings, SARIF {sarif_bytes} bytes")
    print(f"ast.parse alone:                  {best['parse']:8.3f} s (best of {rounds})")
    print(f"Hotspotter.trace_directory:       {best['trace']:8.3f} s  ratio {best['trace'] / best['parse']:.3f}")
    print(f"tally-warden-hotspots --format sarif: {best['command']:8.3f} s  ratio "
          f"{best['command'] / best['parse']:.3f}")


if __name__ == "__main__":
    main()
