import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tally_warden

FIXTURES = pathlib.Path(__file__).parent / "fixtures"
# Source files under fixtures/ are analysed, not collected.
collect_ignore_glob = ["fixtures/*"]
PACKAGE_DIR = pathlib.Path(tally_warden.__file__).parent


@pytest.fixture
def fixtures():
    return FIXTURES


def run_cli(args, cwd, stdin=subprocess.DEVNULL, env=None, no_tty=True, timeout=60):
    """Runs the hook as git would, by default without a controlling terminal."""
    cmd = [sys.executable, "-P", "-m", "tally_warden", *args]
    return subprocess.run(cmd, cwd=cwd, stdin=stdin, capture_output=True, text=True, env=env,
                          start_new_session=no_tty, timeout=timeout)


@pytest.fixture
def private_package(tmp_path):
    """A copy of the installed package whose data directory the test controls.

    Returns (site_dir, data_dir); run code against it with `python_in(site_dir, code)`.
    """
    site = tmp_path / "site"
    shutil.copytree(PACKAGE_DIR, site / "tally_warden",
                    ignore=shutil.ignore_patterns("pricing.db*", "__pycache__"))
    return site, site / "tally_warden" / "data"


def python_in(site, code, cwd=None, timeout=120):
    env = dict(os.environ, PYTHONPATH=str(site))
    return subprocess.run([sys.executable, "-P", "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def estimate(tmp_path):
    """estimate(provider, type, props, rows=()) prices one resource against a store that holds
    only `rows`, each (provider, type, item key, rates) with an optional region."""
    import sqlite3

    from tally_warden.reckoner import Reckoner

    r = Reckoner(str(tmp_path / "pricing.db"))
    with sqlite3.connect(r.db.db_path) as c:
        c.execute("DELETE FROM pricing")

    def run(provider, rtype, props, rows=()):
        with sqlite3.connect(r.db.db_path) as c:
            c.execute("DELETE FROM pricing")
        for row in rows:
            r.db.update_pricing_rate(*row)
        return r.estimate_resource_cost({"provider": provider, "type": rtype, "name": "n", "properties": props})

    return run


def pty_run(args, cwd=None, env=None, stdout=None, answer=b"confirm\n"):
    """Runs the hook on a new pseudo-terminal (standard output on the file descriptor
    `stdout` when given), types `answer` at the prompt, and returns (status, what the
    terminal showed)."""
    import pty

    pid, fd = pty.fork()
    if pid == 0:
        if cwd is not None:
            os.chdir(cwd)
        if stdout is not None:
            os.dup2(stdout, 1)
        os.execve(sys.executable, [sys.executable, "-P", "-m", "tally_warden", *args],
                  os.environ if env is None else env)
    if stdout is not None:
        os.close(stdout)
    out, _ = read_until_prompt(fd, answer, timeout=30)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out


def read_until_prompt(fd, answer, timeout=60):
    """Reads a terminal's output until it closes, typing `answer` after the hook's prompt;
    returns what was read and whether the prompt came."""
    import select

    out, answered = b"", False
    while True:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        if not answered and b"Type 'confirm' to proceed: " in out:
            os.write(fd, answer)
            answered = True
    return out, answered
