"""Bounds of the Terraform evaluation: work, memory and value size, each under a guard so
that a regression fails instead of hanging the run."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

from tally_warden.stackreader import StackReader

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "bench"))
import gen_inputs  # noqa: E402

SANITIZED = bool(os.environ.get("TW_SANITIZED"))
STOP_LINE = "Module evaluation stopped after 200000 module and resource instances; the rest is not priced"


def guarded(code, timeout=300, memory_mb=None):
    """Runs `code` in a fresh interpreter and returns what it printed as JSON on its last line;
    `memory_mb` limits the address space (not under the sanitizers, which reserve it)."""
    prelude = ("import json, resource, sys\n"
               # The peak of this process since it started (ru_maxrss keeps the parent's peak).
               "def peak_mb():\n"
               "    with open('/proc/self/status') as f:\n"
               "        return next(int(l.split()[1]) for l in f if l.startswith('VmHWM:')) / 1024\n")
    if memory_mb and not SANITIZED:
        prelude += f"resource.setrlimit(resource.RLIMIT_AS, ({memory_mb << 20}, {memory_mb << 20}))\n"
    run = subprocess.run([sys.executable, "-P", "-c", prelude + code], capture_output=True, text=True,
                         timeout=timeout)
    assert run.returncode == 0, run.stderr[-2000:]
    *lines, last = run.stdout.splitlines()
    return lines, json.loads(last)


SCAN = """
from tally_warden.stackreader import StackReader
records = StackReader.parse_tf_dir({tree!r}, modules=True)
print(json.dumps({{"records": len(records),
                   "peak_mb": peak_mb(),
                   "names": [r["name"] for r in records[:3]],
                   "keys": sorted({{k for r in records for k in r["properties"]}})}}))
"""


def write(root, files):
    for rel, text in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)


def call(name, source, extra=""):
    return f'module "{name}" {{\n  source = "{source}"\n{extra}}}\n'


def chain_of_counts(root):
    write(root, {"main.tf": call("top", "./a", "  count = 10000\n"),
                 "a/main.tf": call("m", "./b", "  count = 10000\n"),
                 "a/b/main.tf": call("m", "./c", "  count = 10000\n"),
                 "a/b/c/main.tf": 'resource "aws_s3_bucket" "b" {}\n'})


def binary_fan_out(root, levels=30):
    d = root
    for _ in range(levels):
        write(d, {"main.tf": call("l", "./n") + call("r", "./n")})
        d = d / "n"
    write(d, {"main.tf": 'resource "aws_s3_bucket" "b" {}\n'})


@pytest.mark.parametrize("make", [chain_of_counts, binary_fan_out])
def test_module_work_is_capped_with_one_line(tmp_path, make):
    make(tmp_path)
    lines, out = guarded(SCAN.format(tree=str(tmp_path)), timeout=600)
    assert lines == [STOP_LINE]
    assert 0 < out["records"] < 200000


def test_symlink_to_itself_is_a_cycle(tmp_path, capsys):
    write(tmp_path, {"main.tf": call("self", "./loop") + 'resource "aws_s3_bucket" "b" {}\n'})
    (tmp_path / "loop").symlink_to(".")
    records = StackReader.parse_tf_dir(str(tmp_path), modules=True)
    assert [r["name"] for r in records] == ["b"]
    assert capsys.readouterr().out.splitlines() == [
        "Module 'self' (./loop): cycle of module calls . -> loop; not instantiated"]


def test_real_trees_are_read_whole(tmp_path, capsys):
    gen_inputs.modular_monorepo(tmp_path / "mono")
    # 50,000 resources: 500 instances of a module of 100 resources, 50 roots of 10 calls.
    big = tmp_path / "big"
    write(big, {"mod/main.tf": "".join(f'resource "aws_instance" "r{i}" {{\n  instance_type = "t3.micro"\n}}\n'
                                       for i in range(100))})
    for r in range(50):
        write(big, {f"live/env{r}/main.tf": "".join(call(f"m{j}", "../../mod") for j in range(10))})
    assert len(StackReader.parse_tf_dir(str(tmp_path / "mono"), modules=True)) == 24000
    assert len(StackReader.parse_tf_dir(str(big), modules=True)) == 50000
    assert capsys.readouterr().out == ""


def test_for_each_memory_is_linear(tmp_path):
    body = ", ".join(f'k{i} = {{ size = "t3.micro", disk = {i} }}' for i in range(10000))
    write(tmp_path, {"main.tf": f'locals {{\n  big = {{ {body} }}\n}}\n'
                                'resource "aws_instance" "x" {\n  for_each = local.big\n'
                                '  instance_type = each.value.size\n}\n'})
    lines, out = guarded(SCAN.format(tree=str(tmp_path)), timeout=300, memory_mb=4096)
    assert lines == []
    assert out["records"] == 10000
    assert out["names"][0] == 'x["k0"]'
    assert out["keys"] == ["instance_type"]
    # Each instance held the whole map before: 1.67 GB at 10,000 keys.
    assert out["peak_mb"] < (1000 if SANITIZED else 200)


def refs(name, n):
    return "-".join(["${local.%s}" % name] * n)


@pytest.mark.parametrize("tf, expected", [
    # Directly: the value stays as written.
    (f'locals {{\n  a = "{refs("a", 12)}"\n}}\n', {"a": refs("a", 12)}),
    # Through another local; a local that refers to the cycle stays as written too.
    ('locals {\n  a = "${local.b}-${local.b}"\n  b = "x${local.a}"\n  c = "${local.a}"\n  d = "ok"\n}\n',
     {"a": "${local.b}-${local.b}", "b": "x${local.a}", "c": "${local.a}", "d": "ok"}),
    # Through a variable's default.
    ('variable "v" {\n  default = "${local.a}"\n}\nlocals {\n  a = "${var.v}-${var.v}"\n}\n',
     {"a": "${var.v}-${var.v}"}),
])
def test_self_reference_stays_unresolved(tmp_path, tf, expected):
    (tmp_path / "main.tf").write_text(tf + 'resource "aws_instance" "x" {\n  name = local.a\n}\n')
    code = ("from tally_warden.stackreader import StackReader\n"
            f"_, loc = StackReader.parse_variables_and_locals({str(tmp_path)!r})\n"
            f"[rec] = StackReader.parse_tf_dir({str(tmp_path)!r}, modules=True)\n"
            "print(json.dumps([loc, rec['properties']['name']]))\n")
    _, (locals_, name) = guarded(code, timeout=120, memory_mb=2048)
    assert locals_ == expected
    assert name == expected["a"]


def test_fuzzer_unit_reads_quickly():
    unit = pathlib.Path(__file__).parent.parent / "fuzz/corpus/fuzz_terraform/self_reference.tf"
    code = ("from tally_warden.stackreader import StackReader\n"
            f"StackReader.parse_variables_and_locals({str(unit)!r})\n"
            f"print(json.dumps(len(StackReader.parse_tf_dir({str(unit)!r}))))\n")
    assert guarded(code, timeout=60, memory_mb=1024)[1] == 0


def test_substitution_never_grows_a_value_beyond_64_kb(tmp_path):
    # Each local doubles the one before: l16 would hold 64 MB.
    tf = 'locals {\n  l0 = "' + "x" * 1024 + '"\n' + "".join(
        f'  l{i} = "${{local.l{i - 1}}}${{local.l{i - 1}}}"\n' for i in range(1, 17)) + "}\n"
    (tmp_path / "main.tf").write_text(tf)
    _, locals_ = StackReader.parse_variables_and_locals(str(tmp_path))
    assert locals_["l6"] == "x" * (1024 << 6)
    assert locals_["l7"] == "${local.l6}${local.l6}"
    assert all(len(v) <= 64 * 1024 for v in locals_.values())
    assert StackReader.resolve_value("${local.l6}${local.l6}", {}, locals_) == "${local.l6}${local.l6}"
