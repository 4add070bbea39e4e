"""--format markdown: the pull-request comment, against golden files, and as GitHub renders it."""
import os
import pathlib
import re
import subprocess

import cmarkgfm
import pytest
from cmarkgfm.cmark import Options

from conftest import run_cli

GOLDEN = pathlib.Path(__file__).parent / "fixtures" / "markdown"
# Names a repository may hold that would break a table or inject markup if written raw.
HOSTILE = ["pipe|name", "tick`name", "``double", "<script>alert(1)</script>", "<img src=x onerror=y>",
           "*stars* _under_ [link](http://x)", "@someone"]


def git(repo, env, *args):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@example.com", *args], cwd=repo, env=env,
                   check=True, capture_output=True)


@pytest.fixture
def env(tmp_path):
    e = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    e.update(HOME=str(tmp_path), GIT_CONFIG_NOSYSTEM="1")
    return e


@pytest.fixture
def repo(tmp_path, env):
    """A base commit of six servers; staged: thirty new ones (hostile names among them), one
    server grown into a cluster, one removed, and a file whose name is hostile too."""
    r = tmp_path / "repo"
    (r / "infra").mkdir(parents=True)
    base = "".join(f'resource "aws_acme_server" "s{i}" {{\n}}\n' for i in range(6))
    (r / "infra" / "main.tf").write_text(base)
    git(r, env, "init", "-q")
    git(r, env, "add", ".")
    git(r, env, "commit", "-q", "-m", "base")
    now = base.replace('"aws_acme_server" "s0"', '"aws_acme_cluster" "s0"').replace('resource "aws_acme_server" "s5" {\n}\n', "")
    now = now.replace('"aws_acme_server" "s1"', '"aws_acme_server_cluster" "s1"')
    (r / "infra" / "main.tf").write_text(now)
    (r / "infra" / "more.tf").write_text("".join(f'resource "aws_acme_database" "d{i:02}" {{\n}}\n' for i in range(23)))
    odd = r / "infra" / "od|d`<b>"
    odd.mkdir()
    (odd / "x.tf").write_text("".join(f'resource "aws_acme_cluster" "{n}" {{\n}}\n' for n in HOSTILE))
    git(r, env, "add", ".")
    return r


def check_golden(name, text):
    path = GOLDEN / name
    if os.environ.get("TW_UPDATE_GOLDEN"):
        path.parent.mkdir(exist_ok=True)
        path.write_text(text)
    assert text == path.read_text()


def rendered(text):
    return cmarkgfm.github_flavored_markdown_to_html(text, options=Options.CMARK_OPT_UNSAFE)


def check_renders_safely(text):
    html = rendered(text)
    for tag in ("<script", "<img", "<a ", "<em>stars", "<em>under", "<b>"):
        assert tag not in html, tag
    # every row of every table has as many cells as its header
    for table in re.findall(r"<table>.*?</table>", html, re.S):
        widths = {len(re.findall(r"<t[hd][ >]", row)) for row in re.findall(r"<tr>.*?</tr>", table, re.S)}
        assert len(widths) == 1, table
    codes = [re.sub(r"&lt;|&gt;|&amp;|&quot;", lambda m: {"&lt;": "<", "&gt;": ">", "&amp;": "&",
                                                          "&quot;": '"'}[m.group()], c)
             for c in re.findall(r"<code>(.*?)</code>", html, re.S)]
    return codes


@pytest.mark.parametrize("args, golden", [
    (["--diff", "-t", "10"], "diff.md"),
    (["-t", "5000"], "tree.md"),
])
def test_golden_and_safe(repo, env, args, golden):
    res = run_cli([".", "--format", "markdown", *args], cwd=repo, env=env)
    assert res.returncode == (1 if golden == "diff.md" else 0), res.stderr
    check_golden(golden, res.stdout)
    assert run_cli([".", "--format", "markdown", *args], cwd=repo, env=env).stdout == res.stdout
    codes = check_renders_safely(res.stdout)
    # the names come through whole, as code
    for name in HOSTILE:
        assert f"aws_acme_cluster.{name}" in codes
    assert "infra/od|d`<b>/x.tf" in codes


def test_output_file_holds_the_chosen_document(repo, env, tmp_path):
    out = tmp_path / "comment.md"
    res = run_cli([".", "--diff", "--format", "markdown", "--output", str(out), "-t", "5000"], cwd=repo, env=env)
    assert res.returncode == 0, res.stderr
    assert out.read_text() == res.stdout
    assert res.stdout.startswith("### Tally-Warden") and "[Tally-Warden] New total" in res.stderr


def test_nothing_changed(repo, env):
    git(repo, env, "commit", "-q", "-m", "all")
    res = run_cli([".", "--diff", "--format", "markdown"], cwd=repo, env=env)
    assert res.returncode == 0
    assert res.stdout.endswith("\n\nNo infrastructure file changed.\n")


@pytest.mark.parametrize("fmt, shown", [
    (["--breakdown"], " module.db.aws_db_instance.main "),
    (["--format", "markdown"], "`module.db.aws_db_instance.main`"),
])
def test_module_resources_are_named_by_their_address(tmp_path, env, fmt, shown):
    (tmp_path / "mod").mkdir()
    (tmp_path / "mod" / "main.tf").write_text('resource "aws_db_instance" "main" {\n  instance_class = "db.t3.micro"\n}\n')
    (tmp_path / "main.tf").write_text('module "db" {\n  source = "./mod"\n}\n')
    res = run_cli([".", "--modules", "-t", "5000", *fmt], cwd=tmp_path, env=env)
    assert res.returncode == 0, res.stderr
    assert shown in res.stdout and "aws_db_instance.module." not in res.stdout
