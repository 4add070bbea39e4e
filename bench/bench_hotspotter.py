"""Time the source analyser over the host's standard library against ast.parse alone over the
same .py files, read the same way, and print the ratios: Hotspotter.trace_directory in-process,
and the tally-warden-hotspots command writing SARIF to a file (process start included).

Each phase is timed by wall clock and by CPU time (the child's for the command); on a shared
machine the CPU ratio is the steadier one."""

import ast
import os
import resource
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


def cpu_now():
    own = time.process_time()
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own + kids.ru_utime + kids.ru_stime


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else sysconfig.get_paths()["stdlib"])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    files = python_files(root)
    warnings.simplefilter("ignore")
    phases = ("parse", "trace", "command")
    wall = dict.fromkeys(phases, float("inf"))
    cpu = dict.fromkeys(phases, float("inf"))
    findings = 0
    with tempfile.TemporaryDirectory() as tmp:
        sarif = pathlib.Path(tmp, "hotspots.sarif")
        for _ in range(rounds):
            for phase in phases:
                w0, c0 = time.perf_counter(), cpu_now()
                if phase == "parse":
                    parse_all(files)
                elif phase == "trace":
                    findings = len(Hotspotter.trace_directory(str(root)))
                else:
                    run_command(root, sarif)
                wall[phase] = min(wall[phase], time.perf_counter() - w0)
                cpu[phase] = min(cpu[phase], cpu_now() - c0)
        sarif_bytes = sarif.stat().st_size
    print(f"{len(files)} .py files under {root}, {findings} findings, SARIF {sarif_bytes} bytes")
    print(f"best of {rounds}                          wall s   ratio    cpu s   ratio")
    labels = {"parse": "ast.parse alone", "trace": "Hotspotter.trace_directory",
              "command": "tally-warden-hotspots (SARIF)"}
    for phase in phases:
        print(f"{labels[phase]:<32}{wall[phase]:8.3f} {wall[phase] / wall['parse']:7.3f} "
              f"{cpu[phase]:8.3f} {cpu[phase] / cpu['parse']:7.3f}")


if __name__ == "__main__":
    main()
