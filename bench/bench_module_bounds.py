"""The bounds of module evaluation, measured side by side in one run.

    .venv/bin/python -P bench/bench_module_bounds.py

Times, against the scan of the bench_modules.py monorepo (a real tree, read whole):
- three directories each calling the next with count = 10000, and a binary fan-out 30
  levels deep (both stop at the work cap; target: at most 3 times the monorepo);
- a local that refers to itself 12 times (target: about the time of an ordinary unit).
Peak memory of a resource-level for_each over a local map of 10,000 objects with --modules,
and of the interpreter that only imports the reader (target: about 150 MB).
"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_inputs  # noqa: E402
from tally_warden.stackreader import StackReader  # noqa: E402


def call(name, source, extra=""):
    return f'module "{name}" {{\n  source = "{source}"\n{extra}}}\n'


def write(root, files):
    for rel, text in files.items():
        p = pathlib.Path(root) / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)


def chain(root):
    write(root, {"main.tf": call("top", "./a", "  count = 10000\n"),
                 "a/main.tf": call("m", "./b", "  count = 10000\n"),
                 "a/b/main.tf": call("m", "./c", "  count = 10000\n"),
                 "a/b/c/main.tf": 'resource "aws_s3_bucket" "b" {}\n'})


def fan_out(root):
    d = pathlib.Path(root)
    for _ in range(30):
        write(d, {"main.tf": call("l", "./n") + call("r", "./n")})
        d = d / "n"
    write(d, {"main.tf": 'resource "aws_s3_bucket" "b" {}\n'})


def self_reference(root):
    refs = "-".join(["${local.a}"] * 12)
    write(root, {"main.tf": f'locals {{\n  a = "{refs}"\n}}\nresource "aws_instance" "x" {{\n  name = local.a\n}}\n'})


def ordinary_unit(root):
    write(root, {"main.tf": 'locals {\n  env = "prod"\n  a = "${local.env}-app"\n}\n'
                            'resource "aws_instance" "x" {\n  name = local.a\n}\n'})


def for_each_map(root, keys=10000):
    body = ", ".join(f'k{i} = {{ size = "t3.micro", disk = {i} }}' for i in range(keys))
    write(root, {"main.tf": f'locals {{\n  big = {{ {body} }}\n}}\n'
                            'resource "aws_instance" "x" {\n  for_each = local.big\n'
                            '  instance_type = each.value.size\n}\n'})


def best_time(tree, rounds=3):
    best = None
    for _ in range(rounds):
        t = time.perf_counter()
        n = len(StackReader.parse_tf_dir(str(tree), modules=True))
        elapsed = time.perf_counter() - t
        best = elapsed if best is None else min(best, elapsed)
    return best, n


def peak_mb(tree):
    # VmHWM is this process's own peak (ru_maxrss would keep the parent's from before exec).
    code = ("import json, sys\nfrom tally_warden.stackreader import StackReader\n"
            "n = len(StackReader.parse_tf_dir(sys.argv[1], modules=True)) if sys.argv[1] else 0\n"
            "with open('/proc/self/status') as f:\n"
            "    peak = next(int(l.split()[1]) for l in f if l.startswith('VmHWM:'))\n"
            "print(json.dumps([n, peak / 1024]))\n")
    out = subprocess.run([sys.executable, "-P", "-c", code, str(tree)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main():
    with tempfile.TemporaryDirectory() as tmp:
        trees = {}
        for name, make in [("monorepo", gen_inputs.modular_monorepo), ("chain", chain), ("fan-out", fan_out),
                           ("self-reference", self_reference), ("ordinary", ordinary_unit),
                           ("for_each", for_each_map)]:
            trees[name] = pathlib.Path(tmp) / name
            trees[name].mkdir()
            make(trees[name])
        base, n = best_time(trees["monorepo"])
        print(f"monorepo with modules: {base:.3f}s ({n} records)")
        for name in ("chain", "fan-out"):
            t, n = best_time(trees[name], rounds=1)
            print(f"{name}: {t:.3f}s ({n} records): ratio to the monorepo {t / base:.2f} (target <= 3)")
        ordinary, _ = best_time(trees["ordinary"], rounds=20)
        t, _ = best_time(trees["self-reference"], rounds=20)
        print(f"self-reference 12 times: {t * 1000:.2f} ms, ordinary unit {ordinary * 1000:.2f} ms: "
              f"ratio {t / ordinary:.2f}")
        _, idle = peak_mb("")
        n, peak = peak_mb(trees["for_each"])
        print(f"for_each over 10,000 keys: peak {peak:.0f} MB ({n} records), interpreter alone {idle:.0f} MB "
              f"(target about 150 MB)")


if __name__ == "__main__":
    main()
