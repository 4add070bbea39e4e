"""Module evaluation against the plain scan of the same tree, measured side by side in one run.

    .venv/bin/python -P bench/bench_modules.py [--rounds N]

Generates the monorepo with its resources in 2,000 module directories called from 200
roots (one call in ten with count = 2, one in ten made twice) and prints the time of
StackReader.parse_tf_dir(tree, modules=True) over parse_tf_dir(tree) (target <= 1.5).
"""
import argparse
import gc
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_inputs  # noqa: E402
from tally_warden.stackreader import StackReader  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    rounds = ap.parse_args().rounds
    with tempfile.TemporaryDirectory() as tmp:
        gen_inputs.modular_monorepo(tmp)
        best, counts = {}, {}
        for _ in range(rounds):
            for name, kw in [("plain", {}), ("modules", {"modules": True})]:
                gc.collect()
                t = time.perf_counter()
                records = StackReader.parse_tf_dir(tmp, **kw)
                elapsed = time.perf_counter() - t
                best[name] = min(best.get(name, elapsed), elapsed)
                counts[name] = len(records)
                del records
    print(f"plain scan {best['plain']:.3f}s ({counts['plain']} records), "
          f"modules {best['modules']:.3f}s ({counts['modules']} records): "
          f"ratio {best['modules'] / best['plain']:.2f} (target <= 1.5)")


if __name__ == "__main__":
    main()
