"""The hook's --exclude on the command line: names, paths, and exclusions that change nothing."""
import os
import subprocess

import pytest

from conftest import run_cli

P = "[Tally-Warden] "


@pytest.fixture
def tree(tmp_path):
    t = tmp_path / "tree"
    for rel, text in [("net/vpc/a.tf", 'resource "aws_acme_server" "web" {\n}\n'),        # $20.00
                      ("app/vpc/b.tf", 'resource "aws_acme_cluster" "k8s" {\n}\n'),       # $73.00
                      ("app/c.tf", 'resource "aws_acme_database" "main" {\n}\n')]:        # $30.00
        (t / rel).parent.mkdir(parents=True, exist_ok=True)
        (t / rel).write_text(text)
    return t


def total(out):
    for line in out.splitlines():
        if "Total projected cost" in line:
            return line.split("$")[1].split("/")[0]
    return None


def notes(out):
    return [line for line in out.splitlines() if "--exclude" in line]


@pytest.mark.parametrize("args, cost, said", [
    ([".", "--exclude", "net/vpc"], "103.00", []),
    ([".", "--exclude", "vpc"], "30.00", []),
    ([".", "--exclude", "./app/"], "20.00", []),
    (["app", "--exclude", "vpc"], "30.00", []),
    ([".", "--exclude", "vpc/b.tf"], "123.00", ["--exclude 'vpc/b.tf' matches no directory under '.'"]),
    ([".", "--exclude", "nosuch", "app/nosuch", "../tree"], "123.00",
     ["--exclude 'nosuch' matches no directory", "--exclude 'app/nosuch' matches no directory",
      "--exclude '../tree' matches no directory"]),
    # a name found only under another excluded directory still matches
    ([".", "--exclude", "net", "app", "vpc"], None, []),
    # the directory written after the option is one more exclusion, as specified; one line says so
    (["--exclude", "vpc", "app"], None,
     ["'app' after --exclude was taken as a directory to exclude, and '.' is scanned; to scan 'app', write it "
      "before the option: tally-warden app --exclude vpc"]),
])
def test_exclusions(tree, args, cost, said):
    res = run_cli([*args, "-t", "1e6"], cwd=tree)
    assert res.returncode == 0, res.stderr
    assert total(res.stdout) == cost
    if cost is None:
        assert res.stdout.endswith(P + "No Terraform/plan resources found. Hook passed.\n")
    assert len(notes(res.stdout)) == len(said), res.stdout
    for line, expected in zip(notes(res.stdout), said):
        assert line.startswith(P) and expected in line


def test_notes_go_to_standard_error_with_a_document(tree):
    res = run_cli([".", "--exclude", "nosuch", "--format", "json"], cwd=tree)
    assert res.stdout.startswith("{") and "nosuch" not in res.stdout
    assert "--exclude 'nosuch' matches no directory" in res.stderr


def test_a_path_exclusion_applies_to_both_trees_of_diff(tree, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(HOME=str(tmp_path), GIT_CONFIG_NOSYSTEM="1")
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com"]
    subprocess.run([*git, "init", "-q"], cwd=tree, env=env, check=True)
    subprocess.run([*git, "add", "."], cwd=tree, env=env, check=True)
    subprocess.run([*git, "commit", "-q", "-m", "base"], cwd=tree, env=env, check=True)
    (tree / "net" / "vpc" / "a.tf").write_text('resource "aws_acme_cluster" "big" {\n}\n')
    subprocess.run([*git, "add", "."], cwd=tree, env=env, check=True)
    res = run_cli(["--diff", ".", "--exclude", "net/vpc", "-t", "1"], cwd=tree, env=env)
    assert res.returncode == 0, res.stdout + res.stderr
    assert P + "Change: $0.00/month." in res.stdout
