"""Hook speed and memory against their floors, measured side by side in one run.

    .venv/bin/python -P bench/bench_hook.py [--runs N]

Builds a synthetic monorepo (2,000 .tf files, 20,000 resources of many types with
variables and locals, and a node_modules tree of 30,000 files) and prints:
  - hook on the monorepo / (start Python + walk the tree and read every .tf once)
  - hook on a one-resource repository / (start Python with import sqlite3, json, argparse)
  - peak resident memory of the monorepo run
  - hook on the one-resource repository from a read-only install / from a writable one
    (the same package copied twice; as root, permissions are made to apply with setpriv)
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

TYPES = ["aws_instance", "aws_db_instance", "aws_s3_bucket", "aws_lambda_function", "aws_ebs_volume",
         "aws_iam_role", "aws_security_group", "aws_nat_gateway", "aws_lb", "aws_sqs_queue",
         "google_compute_instance", "google_storage_bucket", "azurerm_linux_virtual_machine",
         "azurerm_storage_account", "aws_cloudwatch_log_group", "aws_eks_cluster", "aws_elasticache_cluster",
         "aws_dynamodb_table", "aws_route53_zone", "widget_thing"]
SIZES = ["t3.micro", "m5.large", "c5.xlarge", "r5.2xlarge", "var.size", "local.size"]


def build_monorepo(root: pathlib.Path):
    n = 0
    for f in range(2000):
        d = root / "services" / f"svc{f // 50}" / f"mod{f % 50}"
        d.mkdir(parents=True, exist_ok=True)
        lines = [f'variable "size" {{\n  default = "{SIZES[f % 4]}"\n}}\n',
                 f'locals {{\n  size = "m5.large"\n  name = "${{var.size}}-{f}"\n}}\n']
        for r in range(10):
            t = TYPES[n % len(TYPES)]
            n += 1
            lines.append(f'resource "{t}" "r{f}_{r}" {{\n'
                         f'  instance_type = {SIZES[(f + r) % len(SIZES)]}\n'
                         f'  region        = "us-east-1"\n'
                         f'  name          = "${{local.name}}"\n'
                         f'  tags = {{\n    Name = "r{r}"\n    tally_storage_gb = {10 * r}\n  }}\n'
                         f'  # comment {r}\n}}\n')
        (d / "main.tf").write_text("".join(lines))
    nm = root / "node_modules"
    for i in range(30000):
        p = nm / f"pkg{i // 100}" / ("lib" if i % 2 else "dist")
        p.mkdir(parents=True, exist_ok=True)
        (p / f"f{i}.js").write_text("module.exports = 1;\n")


FLOOR = r"""
import os, sys
for dirpath, dirnames, filenames in os.walk(sys.argv[1]):
    for f in filenames:
        if f.endswith(".tf"):
            with open(os.path.join(dirpath, f), encoding="utf-8") as fh:
                fh.read()
"""


def timed(cmd, cwd=None):
    start = time.perf_counter()
    pid = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           start_new_session=True).pid
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    assert os.waitstatus_to_exitcode(status) == 0, cmd
    return elapsed, usage.ru_maxrss / 1024


def read_only_install(tmp: pathlib.Path, one: pathlib.Path, runs: int):
    """Best times of the one-resource hook from a writable and from a read-only package copy."""
    import tally_warden
    prefix = []
    if os.geteuid() == 0:
        caps = "-dac_override,-dac_read_search"
        prefix = [shutil.which("setpriv") or "setpriv", f"--inh-caps={caps}", f"--bounding-set={caps}"]
    sites = {}
    for kind in ("writable", "read-only"):
        site = tmp / kind
        shutil.copytree(pathlib.Path(tally_warden.__file__).parent, site / "tally_warden",
                        ignore=shutil.ignore_patterns("pricing.db*", "__pycache__"))
        sites[kind] = site
    for root, dirs, files in os.walk(sites["read-only"]):
        for n in dirs + files:
            os.chmod(os.path.join(root, n), 0o555 if n in dirs else 0o444)
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp / "cache"))

    def run(kind):
        env["PYTHONPATH"] = str(sites[kind])
        start = time.perf_counter()
        subprocess.run(prefix + [sys.executable, "-P", "-m", "tally_warden", "-t", "1e12", str(one)], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, start_new_session=True)
        return time.perf_counter() - start

    run("writable"), run("read-only")  # the first run of each creates and seeds its store
    best = {}
    for _ in range(runs):
        for kind in ("writable", "read-only"):
            t = run(kind)
            best[kind] = min(best.get(kind, t), t)
    for root, dirs, _ in os.walk(sites["read-only"]):
        for n in dirs:
            os.chmod(os.path.join(root, n), 0o755)
    os.chmod(sites["read-only"], 0o755)
    return best["read-only"], best["writable"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    runs = ap.parse_args().runs
    py = sys.executable
    hook = [py, "-P", "-m", "tally_warden", "-t", "1e12"]
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "mono"
        build_monorepo(root)
        one = pathlib.Path(tmp) / "one"
        one.mkdir()
        (one / "main.tf").write_text('resource "aws_instance" "web" {\n  instance_type = "t3.micro"\n}\n')
        timed(hook + [str(one)])  # first run creates and seeds the store
        best = {}
        peak = 0.0
        for _ in range(runs):
            for name, cmd in [("mono", hook + [str(root)]), ("floor", [py, "-P", "-c", FLOOR, str(root)]),
                              ("one", hook + [str(one)]), ("start", [py, "-P", "-c", "import sqlite3, json, argparse"])]:
                t, rss = timed(cmd)
                best[name] = min(best.get(name, t), t)
                if name == "mono":
                    peak = max(peak, rss)
        ro, rw = read_only_install(pathlib.Path(tmp), one, runs)
    print(f"monorepo hook {best['mono']:.3f}s, floor {best['floor']:.3f}s: ratio {best['mono'] / best['floor']:.2f} (target <= 2.0)")
    print(f"one-resource hook {best['one']:.3f}s, python start {best['start']:.3f}s: ratio {best['one'] / best['start']:.2f} (target <= 1.5)")
    print(f"monorepo peak memory {peak:.0f} MB (target < 150)")
    print(f"one-resource hook from a read-only install {ro:.3f}s, writable {rw:.3f}s: ratio {ro / rw:.2f} "
          "(target <= 1.5)")


if __name__ == "__main__":
    main()
