"""Reader speed, as ratios measured side by side in one run:

- StackReader.parse_json_file on a generated plan JSON against the host's json.loads of the
  same file (the file read included on both sides);
- StackReader.parse_cloudformation on a generated YAML template against the plain Python
  reader in yaml_baseline.py.

Usage: python bench/bench_readers.py [--plan-mb 100] [--yaml-mb 20] [--rounds 3]
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_inputs  # noqa: E402
import yaml_baseline  # noqa: E402
from tally_warden.stackreader import StackReader  # noqa: E402


def best_of(fn, rounds):
    times = []
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        del result
    return min(times)


def host_json(path):
    with open(path, encoding="utf-8") as f:
        return json.loads(f.read())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--plan-mb", type=float, default=100)
    ap.add_argument("--yaml-mb", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        plan_path = os.path.join(tmp, "plan.json")
        text, n = gen_inputs.plan(int(args.plan_mb * 1e6))
        with open(plan_path, "w", encoding="utf-8") as f:
            f.write(text)
        del text
        records = StackReader.parse_json_file(plan_path)
        assert len(records) == n, (len(records), n)
        del records
        # Alternate the two sides so that machine noise falls on both.
        t_host = t_native = float("inf")
        for _ in range(args.rounds):
            t_host = min(t_host, best_of(lambda: host_json(plan_path), 1))
            t_native = min(t_native, best_of(lambda: StackReader.parse_json_file(plan_path), 1))
        size = os.path.getsize(plan_path) / 1e6
        print(f"plan JSON {size:.1f} MB, {n} resources: json.loads {t_host:.3f} s, "
              f"parse_json_file {t_native:.3f} s, ratio {t_native / t_host:.3f} (target <= 0.6)")

        yaml_path = os.path.join(tmp, "template.yaml")
        text, n = gen_inputs.cloudformation_yaml(int(args.yaml_mb * 1e6))
        with open(yaml_path, "w", encoding="utf-8") as f:
            f.write(text)
        del text
        native = StackReader.parse_cloudformation(yaml_path)
        baseline = yaml_baseline.parse_cloudformation(yaml_path)
        assert native == baseline and len(native) == n, "native and baseline readers disagree"
        del native, baseline
        t_base = t_native = float("inf")
        for _ in range(args.rounds):
            t_base = min(t_base, best_of(lambda: yaml_baseline.parse_cloudformation(yaml_path), 1))
            t_native = min(t_native, best_of(lambda: StackReader.parse_cloudformation(yaml_path), 1))
        size = os.path.getsize(yaml_path) / 1e6
        print(f"CloudFormation YAML {size:.1f} MB, {n} resources: Python reader {t_base:.3f} s, "
              f"parse_cloudformation {t_native:.3f} s, ratio {t_native / t_base:.3f} (target <= 0.2)")


if __name__ == "__main__":
    main()
