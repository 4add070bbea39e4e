"""The analyser command in real git repositories: --baseline, --diff and ignored files."""

import json
import subprocess
import sys

import pytest

LOOP = "import requests\nfor u in us:\n    requests.get(u)\n"


def git(repo, *args):
    subprocess.run(["git", *args], cwd=repo, check=True, capture_output=True)


def hotspots(repo, *args):
    return subprocess.run([sys.executable, "-P", "-m", "tally_warden.hotspots", *args], cwd=repo,
                          capture_output=True, text=True, timeout=120)


def shown(r):
    return [(f["file"], f["line"], f["type"]) for f in json.loads(r.stdout)["findings"]]


@pytest.fixture
def repo(tmp_path):
    root = tmp_path / "repo"
    root.mkdir()
    git(root, "init", "-q")
    git(root, "config", "user.email", "dev@example.com")
    git(root, "config", "user.name", "dev")
    (root / "app.py").write_text(LOOP)
    git(root, "add", "app.py")
    git(root, "commit", "-qm", "base")
    return root


@pytest.mark.parametrize("fmt", ["json", "sarif"])
def test_baseline_reports_and_fails_only_on_new_findings(repo, fmt):
    (repo / "base.out").write_text(hotspots(repo, "--format", fmt, "app.py").stdout)
    r = hotspots(repo, "--fail-on", "MEDIUM", "--baseline", "base.out", "--format", "json", "app.py")
    assert (r.returncode, shown(r)) == (0, [])
    # A second identical call on another line is a new finding; the first stays known.
    (repo / "app.py").write_text(LOOP + "for v in vs:\n    requests.get(u)\n")
    r = hotspots(repo, "--fail-on", "MEDIUM", "--baseline", "base.out", "--format", "json", "app.py")
    assert (r.returncode, shown(r)) == (1, [("app.py", 5, "API_CALL_IN_LOOP")])


@pytest.mark.parametrize("content", ["", "{", "[]", '{"findings": [{"file": "x"}]}', '{"runs": [{"results": [{}]}]}'])
def test_a_baseline_that_is_no_report_is_a_usage_error(repo, content):
    (repo / "base.out").write_text(content)
    r = hotspots(repo, "--baseline", "base.out", "app.py")
    assert r.returncode == 2 and "--baseline base.out" in r.stderr and "Traceback" not in r.stderr


@pytest.mark.parametrize(
    "staged, expected",
    [
        # Unchanged lines stay silent.
        (LOOP + "x = 1\n", []),
        # A new call in an old loop.
        (LOOP + "    requests.post(u)\n", [4]),
        # A changed loop line brings the calls of its loop with it.
        ("import requests\nfor u in set(us):\n    requests.get(u)\n", [3]),
    ],
)
def test_diff_reports_findings_of_the_staged_change(repo, staged, expected):
    (repo / "app.py").write_text(staged)
    (repo / "other.py").write_text(LOOP)  # untracked, not staged
    git(repo, "add", "app.py")
    r = hotspots(repo, "--diff", "--format", "json", "app.py", "other.py")
    assert [line for _, line, _ in shown(r)] == expected


def test_diff_outside_a_work_tree_is_a_usage_error(tmp_path):
    (tmp_path / "a.py").write_text(LOOP)
    r = hotspots(tmp_path, "--diff", "a.py")
    assert r.returncode == 2 and "git work tree" in r.stderr


def test_ignored_files_are_skipped_unless_named(repo):
    (repo / ".gitignore").write_text("gen/\n*_pb2.py\n")
    (repo / "gen").mkdir()
    for rel in ("gen/a.py", "b_pb2.py", "c.py"):
        (repo / rel).write_text(LOOP)
    r = hotspots(repo, "--format", "json")
    assert sorted({f for f, _, _ in shown(r)}) == ["app.py", "c.py"]
    r = hotspots(repo, "--format", "json", "gen/a.py", "b_pb2.py")
    assert sorted({f for f, _, _ in shown(r)}) == ["b_pb2.py", "gen/a.py"]
