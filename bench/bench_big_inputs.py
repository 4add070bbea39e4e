"""Time and peak memory of the readers on very large inputs, each in a fresh process:

- a 100 MB .tf file (many resources with variables and locals),
- a 200 MB plan JSON,
- a million-line CloudFormation YAML template.

    .venv/bin/python -P bench/bench_big_inputs.py [--tf-mb 100] [--plan-mb 200] [--yaml-lines 1000000]

Each line gives the input, the reader's wall time, its peak resident memory and that memory
as a multiple of the input's size.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gen_inputs  # noqa: E402

READ = """
import sys
from tally_warden.stackreader import StackReader
kind, path = sys.argv[1], sys.argv[2]
if kind == "tf":
    v, l = StackReader.parse_variables_and_locals(path)
    out = StackReader.parse_tf_file(path, v, l)
elif kind == "plan":
    out = StackReader.parse_json_file(path)
else:
    out = StackReader.parse_cloudformation(path)
# Peak memory of this process image alone (the rusage figure would include the parent's).
hwm = next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(len(out), int(hwm) // 1024)
"""


def write_tf(path, mb):
    block = ('variable "size_{i}" {{\n  default = "m5.large"\n}}\n'
             'locals {{\n  name_{i} = "svc-${{var.size_{i}}}"\n}}\n'
             'resource "aws_instance" "r{i}" {{\n  instance_type = var.size_{i}\n  region = "us-east-1"\n'
             '  tags = {{\n    Name = "${{local.name_{i}}}"\n    tally_storage_gb = 20\n  }}\n}}\n')
    with open(path, "w") as f:
        i, size = 0, 0
        while size < mb << 20:
            text = block.format(i=i)
            f.write(text)
            size += len(text)
            i += 1


def write_yaml(path, lines):
    with open(path, "w") as f:
        f.write("AWSTemplateFormatVersion: '2010-09-09'\nResources:\n")
        n = 2
        i = 0
        while n < lines:
            f.write(f"  Res{i}:\n    Type: AWS::EC2::Instance\n    Properties:\n      InstanceType: t3.micro\n"
                    f"      Tags:\n        - Key: Name\n          Value: res{i}\n")
            n += 7
            i += 1


def measure(kind, path):
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-P", "-c", READ, kind, str(path)], stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read().split()
    assert proc.wait() == 0, kind
    return time.perf_counter() - start, int(out[1]), int(out[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tf-mb", type=int, default=100)
    ap.add_argument("--plan-mb", type=int, default=200)
    ap.add_argument("--yaml-lines", type=int, default=1_000_000)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        inputs = [("tf", tmp / "big.tf", lambda p: write_tf(p, args.tf_mb)),
                  ("plan", tmp / "plan.json", lambda p: p.write_text(gen_inputs.plan(args.plan_mb << 20)[0])),
                  ("yaml", tmp / "template.yaml", lambda p: write_yaml(p, args.yaml_lines))]
        for kind, path, make in inputs:
            make(path)
            mb = path.stat().st_size / (1 << 20)
            t, rss, n = measure(kind, path)
            print(f"{kind:5} {mb:7.1f} MB: {n} resources in {t:.2f}s, peak memory {rss:.0f} MB ({rss / mb:.1f}x input)")
            path.unlink()


if __name__ == "__main__":
    main()
