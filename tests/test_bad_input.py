"""Input a user can meet by accident or by damage, against the installed package and the hook
as git runs it: every run ends with the specified lines and a status, never a traceback."""
import json
import os
import pathlib
import shutil
import sqlite3
import subprocess
import sys

import pytest

from conftest import run_cli

P = "[Tally-Warden] "
WEB = b'resource "aws_instance" "web" {\n  instance_type = "t3.large"\n}\n'
WEB_TOTAL = P + "Total projected cost of scanned configurations: $60.74/month."


def no_traceback(res):
    assert "Traceback" not in res.stderr and "Traceback" not in res.stdout, res.stderr
    assert res.returncode in (0, 1, 130), res.stderr


def drop_privileges():
    """The command prefix under which file permissions apply to this process, or a skip."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if not setpriv:
        pytest.skip("running as root without setpriv: permissions cannot be made to apply")
    caps = "-dac_override,-dac_read_search"
    prefix = [setpriv, f"--inh-caps={caps}", f"--bounding-set={caps}"]
    probe = subprocess.run(prefix + ["true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("setpriv cannot drop capabilities here: " + probe.stderr.decode(errors="replace"))
    return prefix


def hook(args, cwd, site=None, prefix=(), env=None, **kw):
    env = dict(os.environ, **(env or {}))
    if site is not None:
        env["PYTHONPATH"] = str(site)
    cmd = [*prefix, sys.executable, "-P", "-m", "tally_warden", *args]
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          start_new_session=True, timeout=kw.pop("timeout", 120), **kw)


@pytest.fixture
def repo(tmp_path):
    d = tmp_path / "repo"
    d.mkdir()
    (d / "main.tf").write_bytes(WEB)
    return d


@pytest.mark.parametrize(
    "name, content, line",
    [
        ("bad.tf", b'resource "aws_instance" "x" {\n  instance_type = "\xff"\n}\n',
         "Error reading file {path}: 'utf-8' codec can't decode byte 0xff in position 49: invalid start byte"),
        ("blob.tf", bytes(range(256)) * 64, "Error reading file {path}: 'utf-8' codec can't decode byte 0x80"),
        ("deep.json", b"[" * 100_000 + b"]" * 100_000, "Error reading JSON file {path}: "),
        ("deep.yaml", b"Outputs:\n" + b"".join(b" " * i + b"k:\n" for i in range(1, 3000)), None),
        ("half.tf", 'variable "x" {\n  default = "aé'.encode(), None),
    ],
)
def test_bad_files_are_reported_and_the_rest_is_priced(repo, name, content, line):
    (repo / name).write_bytes(content)
    res = hook([".", "-t", "1000"], cwd=repo)
    no_traceback(res)
    assert WEB_TOTAL in res.stdout
    if line:
        assert line.format(path=f"./{name}") in res.stdout


def test_byte_order_mark_is_read_as_text(repo):
    (repo / "main.tf").write_bytes(b"\xef\xbb\xbf" + WEB)
    res = hook([".", "-t", "1000"], cwd=repo)
    no_traceback(res)
    assert WEB_TOTAL in res.stdout and "Error" not in res.stdout


@pytest.mark.parametrize("kind", ["fifo", "socket"])
def test_special_files_are_reported_not_waited_for(repo, kind):
    path = repo / f"pipe.{'tf' if kind == 'fifo' else 'yaml'}"
    if kind == "fifo":
        os.mkfifo(path)
    else:
        import socket
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
    res = hook([".", "-t", "1000"], cwd=repo, timeout=60)
    no_traceback(res)
    assert WEB_TOTAL in res.stdout
    [line] = [l for l in res.stdout.splitlines() if l.startswith("Error reading")]
    assert line.startswith("Error reading ") and f"./{path.name}: " in line
    if kind == "fifo":
        assert line.endswith("not a regular file: './pipe.tf'")


def test_directory_symlink_loop_is_walked_once(repo):
    (repo / "sub").mkdir()
    (repo / "sub" / "loop").symlink_to("..", target_is_directory=True)
    (repo / "self").symlink_to(".", target_is_directory=True)
    res = hook([".", "-t", "1000"], cwd=repo)
    no_traceback(res)
    assert WEB_TOTAL in res.stdout


def test_unreadable_file_and_directory_are_reported(repo):
    prefix = drop_privileges()
    locked = repo / "locked"
    locked.mkdir()
    (locked / "hidden.tf").write_bytes(WEB)
    secret = repo / "secret.tf"
    secret.write_bytes(WEB)
    excluded = repo / "node_modules" / "pkg"
    excluded.mkdir(parents=True)
    for p in (locked, secret, excluded):
        os.chmod(p, 0)
    try:
        res = hook([".", "-t", "1000"], cwd=repo, prefix=prefix)
    finally:
        os.chmod(locked, 0o755)
        os.chmod(excluded, 0o755)
        os.chmod(secret, 0o644)
    no_traceback(res)
    assert "Error reading directory ./locked: [Errno 13] Permission denied: './locked'\n" in res.stdout
    assert "Error reading file ./secret.tf: [Errno 13] Permission denied: './secret.tf'\n" in res.stdout
    assert WEB_TOTAL in res.stdout and "node_modules" not in res.stdout


def test_ctrl_c_before_the_prompt_ends_with_one_line(repo):
    code = """
import os, signal, sys, time
from tally_warden import hookgate
from tally_warden.stackreader import StackReader

class Slow(StackReader):
    @classmethod
    def parse_tf_dir(cls, directory, exclude_patterns=None):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)

hookgate.StackReader = Slow
sys.argv = ['tally-warden', '.']
hookgate.main()
"""
    res = subprocess.run([sys.executable, "-P", "-c", code], cwd=repo, capture_output=True, text=True,
                         start_new_session=True, timeout=60)
    assert res.returncode == 130 and res.stderr == ""
    assert res.stdout.splitlines()[-1] == P + "Interrupted; commit aborted."


# The store: one package copy per test, whose data directory the test controls.

def with_price_list(package, price_list):
    site, data = package
    (data / "pricing_db.json").write_text(price_list if isinstance(price_list, str) else json.dumps(price_list))
    return site


def read_only_tree(path):
    for root, dirs, files in os.walk(path):
        for n in dirs + files:
            os.chmod(os.path.join(root, n), 0o555 if n in dirs else 0o444)
    os.chmod(path, 0o555)


@pytest.mark.parametrize(
    "price_list, first_line",
    [
        ([1, 2, 3], "Warning: Could not read pricing_db.json to seed SQLite: 'list' object has no attribute 'items'"),
        ({"aws": 5}, "Warning: Could not read pricing_db.json to seed SQLite: 'int' object has no attribute 'items'"),
        ("{", "Warning: Could not read pricing_db.json to seed SQLite: Expecting"),
    ],
)
def test_unusable_price_list_warns_and_the_hook_goes_on(private_package, repo, price_list, first_line):
    site = with_price_list(private_package, price_list)
    res = hook([".", "-t", "1"], cwd=repo, site=site)
    no_traceback(res)
    assert res.stdout.splitlines()[1].startswith(first_line)
    assert P + "Total projected cost" in res.stdout


@pytest.mark.parametrize("price", ['"cheap"', "-0.0832", "1e999"])
def test_unusable_price_falls_back_to_the_default_rate(private_package, repo, price):
    site = with_price_list(private_package, '{"aws": {"aws_instance": {"us-east-1": {"t3.large": {"price_per_hour": %s}}}}}'
                           % price)
    res = hook([".", "--strict", "-t", "1"], cwd=repo, site=site)
    no_traceback(res)
    assert "Warning: Skipped price entry aws / aws_instance / t3.large / us-east-1 of pricing_db.json" in res.stdout
    assert res.returncode == 1 and "$0.00" not in res.stdout and "$-" not in res.stdout


def test_damaged_database_is_left_alone(private_package, repo):
    site, data = private_package
    damaged = b"not a database, just text\n" * 50
    (data / "pricing.db").write_bytes(damaged)
    res = hook([".", "-t", "1000"], cwd=repo, site=site)
    no_traceback(res)
    assert res.stdout.splitlines()[1] == (
        f"Warning: {data / 'pricing.db'} is not a SQLite database; prices come from an in-memory copy of "
        "pricing_db.json for this run (remove the file to rebuild it).")
    assert WEB_TOTAL in res.stdout and (data / "pricing.db").read_bytes() == damaged


def test_locked_database_waits_then_prices_in_memory(private_package, repo):
    site, data = private_package
    assert WEB_TOTAL in hook([".", "-t", "1000"], cwd=repo, site=site).stdout
    holder = sqlite3.connect(data / "pricing.db", isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        res = hook([".", "-t", "1000"], cwd=repo, site=site)
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    no_traceback(res)
    assert f"Warning: {data / 'pricing.db'} is still locked by another process" in res.stdout
    assert WEB_TOTAL in res.stdout


@pytest.mark.parametrize("database", ["absent", "read-only with an override"])
def test_read_only_install_uses_a_per_user_copy(private_package, tmp_path, repo, database):
    prefix = drop_privileges()
    site, data = private_package
    if database != "absent":
        code = ("from tally_warden.ratebook import Ratebook; "
                "Ratebook().update_pricing_rate('aws', 'aws_instance', 't3.large', {'price_per_hour': 1})")
        subprocess.run([sys.executable, "-P", "-c", code], env=dict(os.environ, PYTHONPATH=str(site)), check=True)
    read_only_tree(site)
    cache = tmp_path / "cache"
    env = {"XDG_CACHE_HOME": str(cache)}
    try:
        runs = [hook([".", "-t", "1000"], cwd=repo, site=site, prefix=prefix, env=env) for _ in range(2)]
        (cache / "tally-warden").chmod(0o555)
        in_memory = hook([".", "-t", "1000"], cwd=repo, site=site, prefix=prefix, env=env)
    finally:
        for root, dirs, _ in os.walk(tmp_path):
            for n in dirs:
                os.chmod(os.path.join(root, n), 0o755)
    total = WEB_TOTAL if database == "absent" else P + "Total projected cost of scanned configurations: $730.00/month."
    for res in runs + [in_memory]:
        no_traceback(res)
        assert total in res.stdout
    assert all("Warning" not in res.stdout for res in runs)
    assert [p.name.startswith("pricing-") for p in (cache / "tally-warden").iterdir()] == [True]
    assert in_memory.stdout.splitlines()[1].startswith(f"Warning: Cannot write {data / 'pricing.db'} nor a copy in ")


@pytest.mark.parametrize("install", ["writable", "read-only"])
def test_two_hooks_at_once_on_one_new_database(private_package, tmp_path, repo, install):
    site, data = private_package
    prefix = []
    env = dict(os.environ, PYTHONPATH=str(site), XDG_CACHE_HOME=str(tmp_path / "cache"))
    if install == "read-only":
        prefix = drop_privileges()
        read_only_tree(site)
    cmd = [*prefix, sys.executable, "-P", "-m", "tally_warden", ".", "-t", "1000"]
    try:
        procs = [subprocess.Popen(cmd, cwd=repo, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  stdin=subprocess.DEVNULL, start_new_session=True) for _ in range(3)]
        outs = [p.communicate(timeout=120) for p in procs]
    finally:
        for root, dirs, _ in os.walk(site):
            for n in dirs:
                os.chmod(os.path.join(root, n), 0o755)
    assert [p.returncode for p in procs] == [0, 0, 0], outs
    assert all(WEB_TOTAL in out and "Warning" not in out for out, _ in outs), outs
    cache = tmp_path / "cache" / "tally-warden"
    databases = [data / "pricing.db"] if install == "writable" else list(cache.iterdir())
    assert [p.suffix for p in databases] == [".db"]
    with sqlite3.connect(databases[0]) as c:
        assert c.execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_installed_package_runs_on_its_own_database(repo):
    res = run_cli([".", "-t", "1000"], cwd=repo)
    no_traceback(res)
    assert WEB_TOTAL in res.stdout


@pytest.mark.parametrize("command", [
    ["tally_warden.prices", "--db", "{db}", "show", "aws_instance", "m5.large"],
    ["tally_warden.prices", "--db", "{db}", "show", "aws_instance", "m5.large", "--region", "xx-nowhere-1"],
    ["tally_warden.prices", "--db", "{db}", "diff", "{missing}"],
    ["tally_warden.hotspots", "{src}"],
    ["tally_warden", "{repo}", "--breakdown", "--threshold", "1e9"],
])
def test_reader_that_goes_away_ends_without_a_traceback(tmp_path, repo, command):
    """`... | head -1`: the reader closes the pipe before the program writes."""
    values = {"db": str(tmp_path / "p.db"), "missing": str(tmp_path / "missing.csv"), "repo": str(repo),
              "src": str(pathlib.Path(__file__).parent / "fixtures")}
    args = [a.format(**values) for a in command]
    read, write = os.pipe()
    os.close(read)
    try:
        res = subprocess.run([sys.executable, "-P", "-m", *args], stdout=write, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, text=True, timeout=120, start_new_session=True)
    finally:
        os.close(write)
    assert "Traceback" not in res.stderr and "Exception ignored" not in res.stderr, res.stderr
    assert res.returncode in (0, 1), res.stderr
    if "missing.csv" in args[-1]:
        assert res.stderr.startswith("Error: cannot read ")
