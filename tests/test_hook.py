import sys

import pytest

from tally_warden import hookgate
from tally_warden.reckoner import Reckoner

from conftest import pty_run, read_until_prompt, run_cli

P = "[Tally-Warden] "
SEP = "-" * 70
PROMPT = P + "High-cost change detected. Type 'confirm' to proceed: "
NONINTERACTIVE = P + "Input stream is not available or closed.\n" + P + "Running in non-interactive environment.\n"


@pytest.fixture
def hook(monkeypatch, tmp_path):
    monkeypatch.setattr(hookgate, "Reckoner", lambda: Reckoner(str(tmp_path / "pricing.db")))
    return hookgate


def answer_with(monkeypatch, value):
    def fake(prompt_msg):
        sys.stdout.write(prompt_msg)
        if isinstance(value, BaseException):
            raise value
        return value
    monkeypatch.setattr(hookgate, "get_controlling_terminal_input", fake)


@pytest.mark.parametrize(
    "answer, status, verdict",
    [
        ("confirm", 0, "Commit approved by developer. Proceeding..."),
        ("CONFIRM", 0, "Commit approved by developer. Proceeding..."),
        ("Confirm", 0, "Commit approved by developer. Proceeding..."),
        ("yes", 1, "Commit aborted. (You did not type 'confirm')"),
        ("confirmed", 1, "Commit aborted. (You did not type 'confirm')"),
        ("", 1, "Commit aborted. (You did not type 'confirm')"),
    ],
)
def test_answers(hook, monkeypatch, capsys, fixtures, answer, status, verdict):
    answer_with(monkeypatch, answer)
    d = str(fixtures / "hook" / "paid")
    assert hook.run_hook(d, 5.0) == status
    assert capsys.readouterr().out == (
        f"{P}Scanning '{d}' for cost changes...\n"
        f"{P}Total projected cost of scanned configurations: $10.00/month.\n"
        f"\n[Tally-Warden WARNING] Projected cost ($10.00) exceeds the safety threshold of $5.00!\n"
        f"{SEP}\n{PROMPT}{SEP}\n{P}{verdict}\n")


@pytest.mark.parametrize(
    "error, strict, status, tail",
    [
        (EOFError(), False, 0, NONINTERACTIVE + P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n"),
        (EOFError(), True, 1, NONINTERACTIVE + P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (OSError("gone"), True, 1, NONINTERACTIVE + P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (KeyboardInterrupt(), False, 1, "\n" + P + "Commit aborted by user interruption.\n"),
    ],
)
def test_prompt_failures(hook, monkeypatch, capsys, fixtures, error, strict, status, tail):
    answer_with(monkeypatch, error)
    assert hook.run_hook(str(fixtures / "hook" / "paid"), 5.0, strict) == status
    assert capsys.readouterr().out.endswith(SEP + "\n" + PROMPT + tail)


@pytest.mark.parametrize(
    "sub, threshold, last",
    [
        ("paid", 10.0, P + "Cost changes are within safety limits. Proceeding...\n"),
        ("free", 0.0, P + "Cost changes are within safety limits. Proceeding...\n"),
        ("empty", 0.0, P + "No Terraform/plan resources found. Hook passed.\n"),
    ],
)
def test_no_prompt_needed(hook, capsys, fixtures, sub, threshold, last):
    assert hook.run_hook(str(fixtures / "hook" / sub), threshold) == 0
    assert capsys.readouterr().out.endswith(last)


def test_collaborators_are_found_on_the_module_at_call_time(monkeypatch, capsys):
    calls = []

    class Reader:
        @classmethod
        def parse_tf_dir(cls, directory, exclude_patterns=None):
            calls.append((directory, exclude_patterns))
            return [{"type": "x"}]

    class Priced:
        def estimate_total_costs(self, resources):
            return {"total_monthly_cost": 1234.5}

    monkeypatch.setattr(hookgate, "StackReader", Reader)
    monkeypatch.setattr(hookgate, "Reckoner", Priced)
    assert hookgate.run_hook("somewhere", 2000.0, exclude=["a"]) == 0
    assert calls == [("somewhere", ["a"])]
    assert "$1234.50/month." in capsys.readouterr().out

    monkeypatch.setattr(hookgate, "Reckoner", lambda: type("R", (), {"estimate_total_costs": lambda s, r: {}})())
    with pytest.raises(KeyError):
        hookgate.run_hook("somewhere", 1.0)


def test_fallback_reads_standard_input(monkeypatch, capsys):
    import io
    monkeypatch.setattr("builtins.open", lambda *a, **k: (_ for _ in ()).throw(OSError("no tty")))
    monkeypatch.setattr(sys, "stdin", io.StringIO("  Confirm  \n"))
    assert hookgate.get_controlling_terminal_input("ask: ") == "Confirm"
    for stdin in (io.StringIO(""), None):
        monkeypatch.setattr(sys, "stdin", stdin)
        with pytest.raises(EOFError):
            hookgate.get_controlling_terminal_input("ask: ")
    closed = io.StringIO("confirm\n")
    closed.close()
    monkeypatch.setattr(sys, "stdin", closed)
    with pytest.raises(EOFError):
        hookgate.get_controlling_terminal_input("ask: ")
    assert capsys.readouterr().out == "ask: " * 4


# The program as git runs it.

@pytest.mark.parametrize(
    "args, stdin, status, last",
    [
        (["-t", "5"], None, 0, P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n"),
        (["-t", "5", "--strict"], None, 1, P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (["-t", "5", "--strict"], "confirm\n", 0, P + "Commit approved by developer. Proceeding...\n"),
        (["-t", "1e3"], None, 0, P + "Cost changes are within safety limits. Proceeding...\n"),
        (["-t", "10"], None, 0, P + "Cost changes are within safety limits. Proceeding...\n"),
        (["--exclude", "paid", "free"], None, 0, P + "No Terraform/plan resources found. Hook passed.\n"),
    ],
)
def test_cli_without_terminal(fixtures, tmp_path, args, stdin, status, last):
    repo = fixtures / "hook"
    if stdin is not None:
        (tmp_path / "answer").write_text(stdin)
        stdin = open(tmp_path / "answer")
    directory = [] if args[0] == "--exclude" else [str(repo / "paid")]
    cwd = repo if args[0] == "--exclude" else tmp_path
    res = run_cli(directory + args, cwd=cwd, stdin=stdin if stdin is not None else __import__("subprocess").DEVNULL)
    assert res.returncode == status, res.stderr
    assert res.stdout.endswith(last)
    if "Input stream" in res.stdout:
        assert PROMPT + P + "Input stream is not available or closed." in res.stdout


def test_cli_with_closed_standard_input(fixtures, tmp_path):
    import subprocess
    code = "import os, runpy, sys; os.close(0); sys.argv = ['tally-warden', sys.argv[1], '-t', '5']; " \
           "runpy.run_module('tally_warden', run_name='__main__')"
    res = subprocess.run([sys.executable, "-P", "-c", code, str(fixtures / "hook" / "paid")], capture_output=True,
                         text=True, start_new_session=True)
    assert res.returncode == 0, res.stderr
    assert "Running in non-interactive environment." in res.stdout


@pytest.mark.parametrize("args, status", [(["-t", "abc"], 2), (["--bogus"], 2), (["-t"], 2), (["--help"], 0)])
def test_cli_usage(tmp_path, args, status):
    res = run_cli(args, cwd=tmp_path)
    assert res.returncode == status
    if status == 0:
        assert "Tally-Warden pre-commit cost linter hook." in res.stdout
        assert "Monthly cost warning threshold in USD (default: $100.00)" in " ".join(res.stdout.split())
    else:
        assert "usage:" in res.stderr and res.stdout == ""


def help_on_terminal(columns, env):
    """--help on a pseudo-terminal of `columns` columns, as text with plain newlines."""
    import fcntl
    import os
    import pty
    import struct
    import termios

    pid, fd = pty.fork()
    if pid == 0:
        fcntl.ioctl(1, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        os.execve(sys.executable, [sys.executable, "-P", "-m", "tally_warden", "--help"], env)
    out, _ = read_until_prompt(fd, b"", timeout=30)
    os.waitpid(pid, 0)
    return out.decode().replace("\r\n", "\n")


@pytest.mark.parametrize("columns", [50, 132])
def test_help_wraps_at_the_terminal_width(tmp_path, monkeypatch, columns):
    import os
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    monkeypatch.delenv("COLUMNS", raising=False)
    monkeypatch.delenv("LINES", raising=False)
    piped = run_cli(["--help"], cwd=tmp_path)
    monkeypatch.setenv("COLUMNS", "80")
    assert run_cli(["--help"], cwd=tmp_path).stdout == piped.stdout  # no terminal: 80 columns
    monkeypatch.setenv("COLUMNS", str(columns))
    wanted = run_cli(["--help"], cwd=tmp_path).stdout
    assert wanted != piped.stdout
    assert help_on_terminal(columns, env) == wanted


def test_cli_typed_answer_on_terminal(fixtures):
    status, out = pty_run([str(fixtures / "hook" / "paid"), "-t", "0"], answer=b"  confirm\n")
    assert status == 0
    assert b"Commit approved by developer. Proceeding..." in out


def test_native_and_host_paths_agree(hook, monkeypatch, capsys):
    """The hook's own scan and estimate give the total the classes' host-level calls give."""
    import pathlib

    from tally_warden.stackreader import StackReader

    examples = str(pathlib.Path(__file__).resolve().parent.parent / "examples")
    hook.run_hook(examples, 1e12)
    native_line = capsys.readouterr().out.splitlines()[1]
    report = hook.Reckoner().estimate_total_costs(StackReader.parse_tf_dir(examples))
    assert native_line.endswith(f"${report['total_monthly_cost']:.2f}/month.")


@pytest.mark.parametrize("target", ["reader", "estimator", "store"])
def test_replacements_on_the_classes_are_honoured(hook, monkeypatch, capsys, tmp_path, target):
    from tally_warden.ratebook import Ratebook
    from tally_warden.stackreader import StackReader

    (tmp_path / "main.tf").write_text('resource "aws_eks_cluster" "k" {\n}\n')
    if target == "reader":
        monkeypatch.setattr(StackReader, "parse_tf_file",
                            classmethod(lambda cls, p, v=None, l=None: [{"type": "widget_thing"}] * 3))
        expected = "$30.00/month."
    elif target == "estimator":
        monkeypatch.setattr(Reckoner, "estimate_total_costs", lambda self, r: {"total_monthly_cost": 7.5})
        expected = "$7.50/month."
    else:
        monkeypatch.setattr(Ratebook, "get_pricing_rate", lambda self, *a: {"price_per_hour": 1.0})
        expected = "$730.00/month."
    hook.run_hook(str(tmp_path), 1e12)
    assert capsys.readouterr().out.splitlines()[1].endswith(expected)


TWO_M5 = ''.join(f'resource "aws_instance" "{n}" {{\n  instance_type = "m5.large"\n}}\n' for n in "ab")
OUT_OF_RANGE = ("from tally_warden.ratebook import Ratebook; Ratebook().update_pricing_rate("
                "'aws', 'aws_instance', 'm5.large', {'price_per_hour': 1e308}, 'us-east-1')")


@pytest.fixture
def out_of_range_env(private_package):
    """The environment of a hook whose store prices m5.large at 1e308 per hour."""
    import os

    from conftest import python_in

    site, _ = private_package
    assert python_in(site, OUT_OF_RANGE).returncode == 0
    return dict(os.environ, PYTHONPATH=str(site))


@pytest.mark.parametrize(
    "args, status, last",
    [
        ([], 0, P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n"),
        (["--strict"], 1, P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (["--breakdown"], 0, P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n"),
        (["--format", "json"], 1, None),
    ],
)
def test_total_that_is_not_finite_counts_as_over(out_of_range_env, tmp_path, args, status, last):
    import json

    (tmp_path / "main.tf").write_text(TWO_M5)
    res = run_cli([".", *args], cwd=tmp_path, env=out_of_range_env)
    assert res.returncode == status, res.stdout + res.stderr
    text = res.stderr if last is None else res.stdout
    assert "Total projected cost of scanned configurations: $inf/month." in text
    assert ("[Tally-Warden WARNING] Projected cost ($inf) is not a finite amount (a stored price is out of range); "
            "it counts as over the limits!") in text
    assert "within safety limits" not in text and "exceeds the safety threshold" not in text
    if last is None:
        doc = json.loads(res.stdout, parse_constant=lambda c: pytest.fail(f"bare {c} in the JSON"))
        assert doc["exceeded"] is True and doc["total_monthly_cost"] is None
    else:
        assert res.stdout.endswith(last)
