"""The hook's --diff mode and reports, on real git repositories made here."""
import json
import os
import subprocess
import sys

import pytest

from conftest import pty_run, run_cli

P = "[Tally-Warden] "
SERVER = 'resource "aws_acme_server" "web" {\n}\n'        # a flat $20.00
CLUSTER = 'resource "aws_acme_cluster" "k8s" {\n}\n'      # a flat $73.00
DATABASE = 'resource "aws_acme_database" "main" {\n}\n'   # a flat $30.00


@pytest.fixture
def env(tmp_path):
    e = dict(os.environ, HOME=str(tmp_path), GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="t",
             GIT_AUTHOR_EMAIL="t@example.com", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.com")
    for k in ("GIT_DIR", "GIT_INDEX_FILE", "GIT_WORK_TREE"):
        e.pop(k, None)
    return e


@pytest.fixture
def repo(tmp_path, env):
    """A repository whose first commit holds infra/main.tf (one server) and a README."""
    r = tmp_path / "repo"
    (r / "infra").mkdir(parents=True)
    (r / "infra" / "main.tf").write_text(SERVER)
    (r / "README.md").write_text("hello\n")
    git(r, env, "init", "-q")
    git(r, env, "add", ".")
    git(r, env, "commit", "-q", "-m", "base")
    return r


def git(repo, env, *args):
    return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@example.com", *args], cwd=repo, env=env,
                          check=True, capture_output=True, text=True).stdout


def hook(repo, env, *args, cwd=None, stdin=subprocess.DEVNULL):
    return run_cli(["--diff", *args], cwd=cwd or repo, env=env, stdin=stdin)


def rows(out):
    """(status, resource) of each table row."""
    found = []
    for line in out.splitlines():
        parts = line.split()
        if line.startswith("  ") and len(parts) >= 6 and parts[3] in ("added", "removed", "changed"):
            found.append((parts[3], parts[5]))
    return found


def test_prices_the_index_not_the_working_tree(repo, env):
    (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    git(repo, env, "add", "infra/cluster.tf")
    (repo / "infra" / "main.tf").write_text(SERVER + DATABASE)  # unstaged
    (repo / "infra" / "scratch.tf").write_text(DATABASE)        # untracked
    status = git(repo, env, "status", "--porcelain")
    res = hook(repo, env, "-t", "1000", "infra")
    assert res.returncode == 0, res.stderr
    assert f"{P}Base total (HEAD): $20.00/month.\n{P}New total: $93.00/month.\n{P}Change: +$73.00/month.\n" in res.stdout
    assert rows(res.stdout) == [("added", "aws_acme_cluster.k8s")]
    assert "infra/cluster.tf" in res.stdout
    assert git(repo, env, "status", "--porcelain") == status
    assert (repo / "infra" / "main.tf").read_text() == SERVER + DATABASE


@pytest.mark.parametrize("change", ["readme", "outside", "excluded_json"])
def test_nothing_relevant_staged_passes_at_once(repo, env, change):
    if change == "readme":
        (repo / "README.md").write_text("changed\n")
    elif change == "outside":
        (repo / "other").mkdir()
        (repo / "other" / "x.tf").write_text(CLUSTER)
    else:
        (repo / "infra" / "node_modules").mkdir()
        (repo / "infra" / "node_modules" / "package.json").write_text("{}")
    git(repo, env, "add", "-A")
    res = hook(repo, env, "-t", "0", "infra")
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines()[-1] == P + "No infrastructure files changed under 'infra'. Hook passed."
    assert "New total" not in res.stdout


def _rename(r, env):
    git(r, env, "mv", "infra/main.tf", "infra/compute.tf")


def _move_within(r, env):
    (r / "infra" / "main.tf").write_text(CLUSTER)
    (r / "infra" / "other.tf").write_text(SERVER)


def _move_out(r, env):
    (r / "infra" / "main.tf").write_text("")
    (r / "infra" / "app").mkdir()
    (r / "infra" / "app" / "main.tf").write_text(SERVER)


def _delete(r, env):
    git(r, env, "rm", "-q", "infra/main.tf")


def _add(r, env):
    (r / "infra" / "main.tf").write_text(SERVER + DATABASE)


def _retype(r, env):
    (r / "infra" / "main.tf").write_text(SERVER.replace("web", "web2"))


@pytest.mark.parametrize(
    "edit, change, expected",
    [
        (_rename, "$0.00", []),
        (_move_within, "+$73.00", [("added", "aws_acme_cluster.k8s")]),
        (_move_out, "$0.00", [("added", "aws_acme_server.web"), ("removed", "aws_acme_server.web")]),
        (_delete, "-$20.00", [("removed", "aws_acme_server.web")]),
        (_add, "+$30.00", [("added", "aws_acme_database.main")]),
        (_retype, "$0.00", [("added", "aws_acme_server.web2"), ("removed", "aws_acme_server.web")]),
    ],
)
def test_resources_are_matched_by_home_type_and_name(repo, env, edit, change, expected):
    edit(repo, env)
    git(repo, env, "add", "-A")
    res = hook(repo, env, "-t", "1000")
    assert res.returncode == 0, res.stderr
    assert f"{P}Change: {change}/month." in res.stdout
    assert sorted(rows(res.stdout)) == sorted(expected)
    if not expected:
        assert P + "No resource changed its cost." in res.stdout


def test_first_commit_subdirectory_and_other_base(tmp_path, env):
    r = tmp_path / "fresh"
    (r / "infra").mkdir(parents=True)
    (r / "infra" / "main.tf").write_text(SERVER)
    git(r, env, "init", "-q")
    git(r, env, "add", ".")
    res = hook(r, env, "-t", "1000", cwd=r / "infra")  # no commit yet, run from a subdirectory
    assert res.returncode == 0, res.stderr
    assert f"{P}Base total (HEAD): $0.00/month." in res.stdout and f"{P}Change: +$20.00/month." in res.stdout
    assert rows(res.stdout) == [("added", "aws_acme_server.web")]
    assert " main.tf " in res.stdout

    git(r, env, "commit", "-q", "-m", "one")
    (r / "infra" / "main.tf").write_text(SERVER + CLUSTER)
    git(r, env, "commit", "-q", "-am", "two")
    res = hook(r, env, "-t", "1000", "--base", "HEAD~1", "infra", cwd=r)
    assert f"{P}Change: +$73.00/month." in res.stdout
    res = hook(r, env, "--base", "no-such-ref", cwd=r)
    assert res.returncode == 2 and "unknown base revision 'no-such-ref'" in res.stderr


@pytest.fixture
def branched(repo, env):
    """main: a server, then a database added after `feature` left it; feature: a cluster added."""
    git(repo, env, "branch", "-M", "main")
    git(repo, env, "checkout", "-q", "-b", "feature")
    (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    git(repo, env, "add", "-A")
    git(repo, env, "commit", "-q", "-m", "cluster")
    git(repo, env, "checkout", "-q", "main")
    (repo / "infra" / "db.tf").write_text(DATABASE)
    git(repo, env, "add", "-A")
    git(repo, env, "commit", "-q", "-m", "database")
    git(repo, env, "checkout", "-q", "feature")
    return repo


@pytest.mark.parametrize("args, extra_env, change, base", [
    # the change the branch brings, against the merge base: the database of main is not in it
    (["--base", "main", "--head", "feature"], {}, "+$73.00", "main...feature"),
    ([], {"PRE_COMMIT_FROM_REF": "main", "PRE_COMMIT_TO_REF": "feature"}, "+$73.00", "main...feature"),
    (["--base", "main", "--head", "HEAD"], {"PRE_COMMIT_FROM_REF": "x", "PRE_COMMIT_TO_REF": "y"}, "+$73.00",
     "main...HEAD"),
    # --base alone: the index against main as it is now
    (["--base", "main"], {}, "+$43.00", "main"),
    ([], {"PRE_COMMIT_FROM_REF": "main"}, None, "HEAD"),  # one of the two: the staged change, none
])
def test_branch_against_its_merge_base(branched, env, args, extra_env, change, base):
    (branched / "infra" / "extra.tf").write_text(CLUSTER)  # in the working tree only: never priced
    res = hook(branched, dict(env, **extra_env), "-t", "1000", *args)
    assert res.returncode == 0, res.stderr
    if change is None:
        assert f"{P}No infrastructure files changed under '.'. Hook passed." in res.stdout
    else:
        assert f"{P}Base total ({base}):" in res.stdout and f"{P}Change: {change}/month." in res.stdout


def test_head_alone_implies_the_diff(branched, env):
    res = run_cli(["-t", "1000", "--base", "main", "--head", "feature"], cwd=branched, env=env)
    assert res.returncode == 0, res.stderr
    assert f"{P}Base total (main...feature):" in res.stdout and f"{P}Change: +$73.00/month." in res.stdout


@pytest.mark.parametrize("args, message", [
    (["--base", "main", "--head", "nope"], "unknown head revision 'nope'"),
    (["--base", "nope", "--head", "feature"], "unknown base revision 'nope'"),
    (["--base", "main", "--head", "orphan"], "have no common ancestor"),
])
def test_range_errors(branched, env, args, message):
    git(branched, env, "checkout", "-q", "--orphan", "orphan")
    git(branched, env, "commit", "-q", "-m", "alone")
    res = hook(branched, env, *args)
    assert res.returncode == 2 and message in res.stderr and "Traceback" not in res.stderr


def test_outside_a_repository_is_an_error(tmp_path, env):
    (tmp_path / "plain").mkdir()
    res = hook(tmp_path / "plain", env)
    assert res.returncode == 2 and "Cannot read the staged change" in res.stderr and "Traceback" not in res.stderr


@pytest.mark.parametrize(
    "args, status, tail",
    [
        (["-t", "50"], 0, P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n"),
        (["-t", "50", "--strict"], 1, P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (["-t", "73"], 0, P + "Cost changes are within safety limits. Proceeding...\n"),
        (["-t", "100", "--max-total", "90", "--strict"], 1,
         P + "Strict mode enabled. Cost threshold exceeded, aborting commit.\n"),
        (["-t", "100", "--max-total", "93"], 0, P + "Cost changes are within safety limits. Proceeding...\n"),
    ],
)
def test_threshold_applies_to_the_increase(repo, env, args, status, tail):
    (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    git(repo, env, "add", "-A")
    res = hook(repo, env, *args)
    assert res.returncode == status, res.stderr
    assert res.stdout.endswith(tail)
    if "-t" in args and args[args.index("-t") + 1] == "50":
        assert "\n[Tally-Warden WARNING] Projected increase ($73.00) exceeds the safety threshold of $50.00!\n" in res.stdout
    if "--max-total" in args and status:
        assert "[Tally-Warden WARNING] Projected total ($93.00) exceeds the maximum total of $90.00!" in res.stdout


def test_a_cheaper_commit_never_prompts(repo, env):
    git(repo, env, "rm", "-q", "infra/main.tf")
    res = hook(repo, env, "-t", "0", "--max-total", "0", "--strict")
    assert res.returncode == 0
    assert res.stdout.endswith(P + "Cost changes are within safety limits. Proceeding...\n")


def test_json_document_and_other_messages(repo, env, tmp_path):
    (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    (repo / "infra" / "broken.json").write_text("{not json")
    git(repo, env, "add", "-A")
    res = hook(repo, env, "-t", "50", "--format", "json", "--strict")
    assert res.returncode == 1  # exceeded, never prompts
    doc = json.loads(res.stdout)
    assert list(doc)[:9] == ["mode", "directory", "base", "scanned", "base_total", "new_total", "change", "threshold",
                             "max_total"]
    assert (doc["base_total"], doc["new_total"], doc["change"], doc["exceeded"]) == (20.0, 93.0, 73.0, True)
    first = doc["resources"][0]
    assert first == {"status": "added", "file": "infra/cluster.tf", "type": "aws_acme_cluster", "name": "k8s",
                     "region": first["region"], "monthly_cost": 73.0, "basis": first["basis"],
                     "source": "flat-default", "before": None, "after": 73.0, "change": 73.0}
    assert doc["resources"][1]["status"] == "unchanged"
    assert doc["defaults"]["flat-default"] == {"aws_acme_cluster": 1, "aws_acme_server": 1}
    assert "broken.json" in res.stderr and str(tmp_path) not in res.stderr.replace(str(repo), "")
    assert "/tally-warden-" not in res.stderr

    out = tmp_path / "report.json"
    res = hook(repo, env, "-t", "1000", "--output", str(out))
    assert res.returncode == 0 and res.stdout.startswith(P + "Checking the staged changes in '.' against HEAD...")
    assert json.loads(out.read_text())["change"] == 73.0


def test_nothing_changed_json(repo, env):
    res = hook(repo, env, "--format", "json")
    assert res.returncode == 0
    doc = json.loads(res.stdout)
    assert doc["scanned"] is False and doc["resources"] == [] and doc["new_total"] is None
    assert "No infrastructure files changed" in res.stderr


def test_commit_a_and_commit_paths_use_gits_index(repo, env):
    hooks = repo / ".git" / "hooks"
    hooks.mkdir(exist_ok=True)
    script = hooks / "pre-commit"
    script.write_text(f"#!/bin/sh\nexec {sys.executable} -P -m tally_warden --diff -t 50 --strict\n")
    script.chmod(0o755)
    (repo / "infra" / "main.tf").write_text(SERVER + CLUSTER)
    env = dict(env, PYTHONPATH=os.pathsep.join(sys.path))

    def commit(*args):
        return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "commit", "-m", "x",
                               *args], cwd=repo, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              start_new_session=True)

    res = commit("-a")  # the change is only in git's temporary index
    assert res.returncode != 0 and "Projected increase ($73.00)" in res.stderr  # git shows the hook there
    git(repo, env, "add", "infra/main.tf")
    (repo / "README.md").write_text("docs\n")
    res = commit("README.md")  # the staged cluster is not part of this commit
    assert res.returncode == 0, res.stdout + res.stderr
    assert "No infrastructure files changed" in res.stderr
    assert git(repo, env, "diff", "--cached", "--name-only") == "infra/main.tf\n"


@pytest.mark.parametrize("stdout_elsewhere", [False, True])
def test_prompt_on_the_terminal(repo, env, stdout_elsewhere):
    (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    git(repo, env, "add", "-A")
    env = dict(env, PYTHONPATH=os.pathsep.join(sys.path))
    r = w = None
    if stdout_elsewhere:
        r, w = os.pipe()
    status, terminal = pty_run(["--diff", "-t", "10"], cwd=repo, env=env, stdout=w)
    assert status == 0
    assert b"Type 'confirm' to proceed: " in terminal  # seen where the answer is typed
    if stdout_elsewhere:
        piped = os.read(r, 1 << 20).decode()
        os.close(r)
        assert "Projected increase ($73.00)" in piped and P + "Commit approved by developer. Proceeding..." in piped
        # the change table and the warning reach the terminal before the question, which is asked once
        before, _, after = terminal.partition(b"Type 'confirm' to proceed: ")
        assert b"+$73.00" in before and b"Projected increase ($73.00)" in before
        assert b"Type 'confirm'" not in after
    else:
        assert terminal.count(b"Type 'confirm' to proceed: ") == 1
        assert b"Commit approved by developer. Proceeding..." in terminal


@pytest.mark.parametrize(
    "args, message",
    [
        (["-t", "nan"], "threshold"),
        (["-t", "inf"], "threshold"),
        (["-t", "-1"], "threshold"),
        (["--diff", "--max-total", "nan"], "max-total"),
        (["no-such-dir"], "does not exist"),
        (["--base", "HEAD"], "need --diff"),
        (["--diff", "--head", "HEAD"], "--head needs --base"),
        (["--head", "HEAD"], "--head needs --base"),
        (["--format", "xml"], "format"),
    ],
)
def test_usage_errors(tmp_path, args, message):
    res = run_cli(args, cwd=tmp_path)
    assert res.returncode == 2
    assert "usage:" in res.stderr and message in res.stderr and res.stdout == ""


def test_closed_standard_output(fixtures, tmp_path):
    r, w = os.pipe()
    os.close(r)
    proc = subprocess.run([sys.executable, "-P", "-m", "tally_warden", str(fixtures / "hook" / "paid"), "-t", "1e9"],
                          stdout=w, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                          start_new_session=True)
    os.close(w)
    assert proc.returncode != 0
    assert "Traceback" not in proc.stderr


def test_breakdown_in_the_plain_mode(fixtures, tmp_path):
    d = tmp_path / "infra"
    d.mkdir()
    (d / "a.tf").write_text(SERVER + CLUSTER)
    (d / "b.tf").write_text(DATABASE)
    res = run_cli([str(d), "-t", "1000", "--breakdown"], cwd=tmp_path)
    lines = res.stdout.splitlines()
    assert lines[1] == P + "Total projected cost of scanned configurations: $123.00/month."
    assert lines[2].split() == ["Monthly", "File", "Resource", "Basis"]
    assert [line.split()[:3] for line in lines[3:6]] == [
        ["$73.00", f"{d}/a.tf", "aws_acme_cluster.k8s"], ["$30.00", f"{d}/b.tf", "aws_acme_database.main"],
        ["$20.00", f"{d}/a.tf", "aws_acme_server.web"]]
    assert lines[6].startswith(P + "Priced by a flat default: 3 (")
    assert lines[-1] == P + "Cost changes are within safety limits. Proceeding..."

    res = run_cli([str(d), "-t", "100", "--format", "json"], cwd=tmp_path)
    assert res.returncode == 1
    doc = json.loads(res.stdout)
    assert doc["total_monthly_cost"] == 123.0 and doc["exceeded"] is True
    assert [r["name"] for r in doc["resources"]] == ["web", "k8s", "main"]
    assert "Total projected cost" in res.stderr


def test_unchanged_directories_count_in_both_totals(repo, env):
    for sub, text in (("a", CLUSTER), ("b/c", DATABASE)):
        (repo / "infra" / sub).mkdir(parents=True)
        (repo / "infra" / sub / "main.tf").write_text(text)
    git(repo, env, "add", "-A")
    git(repo, env, "commit", "-q", "-m", "more")
    (repo / "infra" / "b" / "extra.tf").write_text(SERVER.replace("web", "api"))
    git(repo, env, "add", "-A")
    res = hook(repo, env, "-t", "1000", "infra")
    assert f"{P}Base total (HEAD): $123.00/month.\n{P}New total: $143.00/month.\n" in res.stdout
    assert rows(res.stdout) == [("added", "aws_acme_server.api")]

TFVARS_MAIN = 'variable "type" {\n  default = "t3.micro"\n}\nresource "aws_instance" "web" {\n  instance_type = var.type\n}\n'


@pytest.mark.parametrize("name", ["terraform.tfvars", "prod.auto.tfvars"])
@pytest.mark.parametrize("with_tf", [False, True])
def test_a_variable_file_change_is_a_change(repo, env, name, with_tf):
    (repo / "infra" / "main.tf").write_text(TFVARS_MAIN)
    (repo / "infra" / name).write_text('type = "t3.micro"\n')
    git(repo, env, "add", "-A")
    git(repo, env, "commit", "-q", "-m", "vars")
    (repo / "infra" / name).write_text('type = "p4d.24xlarge"\n')
    if with_tf:
        (repo / "infra" / "cluster.tf").write_text(CLUSTER)
    git(repo, env, "add", "-A")
    res = hook(repo, env, "-t", "100", "--strict", "--format", "json", "infra")
    assert res.returncode == 1, res.stderr
    doc = json.loads(res.stdout)
    assert doc["scanned"] is True and doc["change"] > 1000
    assert ("changed", "aws_instance") in [(r["status"], r["type"]) for r in doc["resources"]]
    # The plain scan of the same tree gives the same total.
    plain = json.loads(run_cli(["infra", "--format", "json", "-t", "1e9"], cwd=repo, env=env).stdout)
    assert plain["total_monthly_cost"] == doc["new_total"]


def test_module_sources_outside_the_copy_are_read_where_they_lie(tmp_path, env):
    outer = tmp_path / "a"
    r = outer / "repo"
    (r / "infra").mkdir(parents=True)
    (r / "mods" / "db").mkdir(parents=True)
    (r / "mods" / "db" / "main.tf").write_text(DATABASE)
    (r / "infra" / "main.tf").write_text('module "net" {\n  source = "../../../mods/m"\n}\n'
                                         'module "db" {\n  source = "../mods/db"\n}\n')
    (tmp_path / "mods" / "m").mkdir(parents=True)
    (tmp_path / "mods" / "m" / "main.tf").write_text(CLUSTER)  # outside the repository
    git(r, env, "init", "-q")
    git(r, env, "add", ".")
    git(r, env, "commit", "-q", "-m", "base")
    (r / "mods" / "db" / "main.tf").write_text(DATABASE + SERVER)  # staged
    git(r, env, "add", "-A")
    (r / "mods" / "db" / "main.tf").write_text(DATABASE + SERVER + SERVER.replace("web", "w2"))  # not staged
    temp = outer / "temp"
    # Where the source leads from the copy at temp/<copy>/index/infra: never read.
    (temp / "mods" / "m").mkdir(parents=True)
    (temp / "mods" / "m" / "main.tf").write_text(SERVER.replace("web", "planted"))
    res = hook(r, dict(env, TMPDIR=str(temp)), "--modules", "-t", "1000", "infra", cwd=r)
    assert res.returncode == 0, res.stderr
    assert res.stdout.count("outside the repository") == 1
    assert (f"Module 'net' (../../../mods/m): outside the repository, read from the working tree at "
            f"{tmp_path}/mods/m") in res.stdout
    assert f"{P}Base total (HEAD): $103.00/month.\n{P}New total: $123.00/month.\n" in res.stdout
    assert "planted" not in res.stdout


def test_unmerged_paths_are_named(repo, env):
    git(repo, env, "checkout", "-q", "-b", "side")
    (repo / "infra" / "main.tf").write_text(CLUSTER)
    git(repo, env, "commit", "-q", "-am", "side")
    git(repo, env, "checkout", "-q", "-")
    (repo / "infra" / "main.tf").write_text(DATABASE)
    git(repo, env, "commit", "-q", "-am", "main")
    subprocess.run(["git", "merge", "-q", "side"], cwd=repo, env=env, capture_output=True)
    res = hook(repo, env, "-t", "1000")
    assert res.returncode == 2
    assert "unmerged paths (resolve the conflicts first): infra/main.tf" in res.stderr
    assert "removed" not in res.stdout and "Traceback" not in res.stderr


def test_file_names_are_shown_safely(repo, env):
    esc = os.fsencode(repo / "infra") + b"/esc\x1b[2J.tf"
    bad = os.fsencode(repo / "infra") + b"/bad\xff.tf"
    with open(esc, "wb") as f:
        f.write(CLUSTER.encode())
    with open(bad, "wb") as f:
        f.write(DATABASE.encode())
    git(repo, env, "add", "-A")
    res = subprocess.run([sys.executable, "-P", "-m", "tally_warden", "--diff", "-t", "1000"], cwd=repo, env=env,
                         capture_output=True, stdin=subprocess.DEVNULL, start_new_session=True)
    assert res.returncode == 0, res.stderr
    assert b"\x1b" not in res.stdout and b"\xff" not in res.stdout
    assert b"infra/esc\\x1b[2J.tf" in res.stdout and b"infra/bad\\xff.tf" in res.stdout
    res = hook(repo, env, "--format", "json", "-t", "1000")
    files = {r["file"] for r in json.loads(res.stdout)["resources"]}
    assert {"infra/esc\x1b[2J.tf", "infra/bad\udcff.tf"} <= files
    assert all(os.path.exists(repo / f) for f in files)


def _tree_of_many(repo, env):
    for i in range(600):
        (repo / "infra" / f"m{i}").mkdir()
        (repo / "infra" / f"m{i}" / "main.tf").write_text(SERVER.replace("web", f"w{i}"))
    git(repo, env, "add", "-A")


def _start_and_wait_for_copy(repo, env, temp):
    import time
    proc = subprocess.Popen([sys.executable, "-P", "-m", "tally_warden", "--diff", "-t", "1e9"], cwd=repo, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                            preexec_fn=lambda: __import__("resource").setrlimit(__import__("resource").RLIMIT_CORE,
                                                                               (0, 0)))
    deadline = time.monotonic() + 60
    while not any(temp.iterdir()) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.001)
    if proc.poll() is not None:
        pytest.skip("the hook ended before it could be signalled")
    return proc


@pytest.mark.parametrize("sig", ["SIGTERM", "SIGQUIT"])
def test_temporary_files_are_removed_when_ended_by(repo, env, tmp_path, sig):
    import signal
    import time
    _tree_of_many(repo, env)
    temp = tmp_path / "temp"
    temp.mkdir()
    proc = _start_and_wait_for_copy(repo, dict(env, TMPDIR=str(temp)), temp)
    proc.send_signal(getattr(signal, sig))
    assert proc.wait(60) == -getattr(signal, sig)
    deadline = time.monotonic() + 30
    while any(temp.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert list(temp.iterdir()) == []


def test_module_instances_are_told_apart_by_their_root(repo, env):
    module = 'variable "size" {}\nresource "aws_instance" "this" {\n  instance_type = var.size\n}\n'
    (repo / "infra" / "mod").mkdir()
    (repo / "infra" / "mod" / "main.tf").write_text(module)
    for root, size in (("a", "m5.large"), ("b", "t3.micro")):
        (repo / "infra" / root).mkdir()
        (repo / "infra" / root / "main.tf").write_text(
            f'module "app" {{\n  source = "../mod"\n  size   = "{size}"\n}}\n')
    git(repo, env, "add", ".")
    git(repo, env, "commit", "-q", "-m", "two roots")
    git(repo, env, "rm", "-q", "-r", "infra/a")
    res = hook(repo, env, "--modules", "-t", "1e9", "infra")
    assert res.returncode == 0, res.stderr
    assert rows(res.stdout) == [("removed", "module.app.aws_instance.this")]
    [line] = [l for l in res.stdout.splitlines() if "removed" in l and "module.app" in l]
    assert "infra/a/main.tf" in line


def test_a_copy_left_by_a_killed_hook_is_removed_by_the_next_run(repo, env, tmp_path):
    import signal
    _tree_of_many(repo, env)
    temp = tmp_path / "temp"
    temp.mkdir()
    env = dict(env, TMPDIR=str(temp))
    proc = _start_and_wait_for_copy(repo, env, temp)
    proc.send_signal(signal.SIGKILL)
    proc.wait(60)
    left = list(temp.iterdir())
    assert len(left) == 1 and left[0].name.startswith("tally-warden-")
    # Copies of live processes, and of names that do not tell their owner, stay.
    ns = os.readlink("/proc/self/ns/pid").split("[")[1].rstrip("]")
    start = open("/proc/self/stat").read().rsplit(")", 1)[1].split()[19]
    kept = [temp / f"tally-warden-{ns}-{os.getpid()}-{start}-abcdef", temp / "tally-warden-abcdef",
            temp / f"tally-warden-1-{proc.pid}-1-abcdef"]
    for k in kept:
        k.mkdir()
    res = hook(repo, env, "-t", "1e9")
    assert res.returncode == 0, res.stderr
    assert sorted(temp.iterdir()) == sorted(kept)


def _fake_git(tmp_path):
    """A git that says it started, then waits to be interrupted."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "git").write_text(f"#!/bin/sh\ntouch {tmp_path}/started\nexec sleep 60\n")
    (bin_dir / "git").chmod(0o755)
    return bin_dir


@pytest.mark.parametrize("to_group", [True, False])
def test_ctrl_c_while_git_runs(repo, env, tmp_path, to_group):
    import signal
    import time
    env = dict(env, PATH=f"{_fake_git(tmp_path)}:{env['PATH']}")
    proc = subprocess.Popen([sys.executable, "-P", "-m", "tally_warden", "--diff"], cwd=repo, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while not (tmp_path / "started").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
    if to_group:
        os.killpg(proc.pid, signal.SIGINT)  # as the terminal sends it
    else:
        proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert out.splitlines()[-1] == P + "Interrupted; commit aborted."
    assert "Traceback" not in err and "unknown base revision" not in err + out


def test_ctrl_c_while_the_modules_load(tmp_path):
    code = ("import sys\n"
            "class Stop:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name == 'tally_warden.hookgate':\n"
            "            raise KeyboardInterrupt\n"
            "sys.meta_path.insert(0, Stop())\n"
            "from tally_warden._cli import main\n"
            "main()\n")
    res = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert res.returncode == 130 and res.stdout == P + "Interrupted; commit aborted.\n" and res.stderr == ""


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_change_that_is_not_finite_counts_as_over(repo, env, private_package, fmt):
    """A stored price of 1e308 per hour makes both totals infinite and the change NaN."""
    from conftest import python_in

    site, _ = private_package
    python_in(site, "from tally_warden.ratebook import Ratebook; Ratebook().update_pricing_rate("
                    "'aws', 'aws_instance', 'm5.large', {'price_per_hour': 1e308}, 'us-east-1')")
    m5 = 'resource "aws_instance" "%s" {\n  instance_type = "m5.large"\n}\n'
    (repo / "infra" / "a.tf").write_text(m5 % "a")
    git(repo, env, "add", ".")
    git(repo, env, "commit", "-q", "-m", "one m5")
    (repo / "infra" / "b.tf").write_text(m5 % "b")
    git(repo, env, "add", ".")
    res = hook(repo, dict(env, PYTHONPATH=str(site)), "--format", fmt)
    text = res.stderr if fmt == "json" else res.stdout
    assert ("[Tally-Warden WARNING] The change ($inf to $inf) is not a finite amount (a stored price is out of "
            "range); it counts as over the limits!") in text, res.stdout + res.stderr
    assert "within safety limits" not in text
    if fmt == "json":
        assert res.returncode == 1
        doc = json.loads(res.stdout, parse_constant=lambda c: pytest.fail(f"bare {c} in the JSON"))
        assert doc["exceeded"] is True and doc["change"] is None and doc["new_total"] is None
    else:
        assert res.returncode == 0 and res.stdout.endswith(
            P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).\n")
