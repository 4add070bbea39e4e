"""Speed and memory of the hook's --diff mode, measured side by side in one run.

    .venv/bin/python -P bench/bench_diff.py [--runs N]

Commits the synthetic monorepo of bench_hook.py (2,000 .tf files, 20,000 resources;
node_modules ignored by .gitignore) into a git repository, packs it as a clone would be,
and prints (hooks run as the installed `tally-warden` script a hook line names):
  - a commit staging only a README: hook --diff / (git diff --cached --name-only + python -c "import argparse")
  - a commit changing one .tf file: hook --diff / plain hook on the same tree, and the same
    with --modules on both (module calls evaluated)
  - peak resident memory of the --diff run on the one-.tf commit
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_hook import build_monorepo  # noqa: E402


def timed(cmd, cwd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            start_new_session=True)
    _, status, usage = os.wait4(proc.pid, 0)  # proc stays referenced: nothing else reaps it
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == 0, cmd
    return elapsed, usage.ru_maxrss / 1024


def git(root, *args):
    subprocess.run(["git", "-c", "user.name=bench", "-c", "user.email=bench@example.com", *args], cwd=root,
                   check=True, stdout=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    runs = ap.parse_args().runs
    py = sys.executable
    hook = [str(pathlib.Path(py).parent / "tally-warden"), "-t", "1e12"]
    os.environ.pop("GIT_INDEX_FILE", None)
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "mono"
        build_monorepo(root)
        (root / ".gitignore").write_text("node_modules/\n")
        (root / "README.md").write_text("monorepo\n")
        git(root, "init", "-q")
        git(root, "add", ".")
        git(root, "commit", "-q", "-m", "base")
        git(root, "gc", "-q")  # packed, as a cloned repository is
        timed(hook + [str(root)], cwd=root)  # creates and seeds the store

        # A commit staging only a README.
        (root / "README.md").write_text("monorepo, documented\n")
        git(root, "add", "README.md")
        best = {}
        for _ in range(runs):
            for name, cmd in [("readme", hook + ["--diff"]), ("git", ["git", "diff", "--cached", "--name-only"]),
                              ("argparse", [py, "-P", "-c", "import argparse"])]:
                t, _ = timed(cmd, cwd=root)
                best[name] = min(best.get(name, t), t)
        git(root, "reset", "-q", "README.md")

        # A commit changing one .tf file.
        tf = root / "services" / "svc0" / "mod0" / "main.tf"
        tf.write_text(tf.read_text() + 'resource "aws_instance" "added" {\n  instance_type = "m5.large"\n}\n')
        git(root, "add", str(tf))
        peak = 0.0
        for _ in range(runs):
            for name, cmd in [("diff", hook + ["--diff"]), ("plain", hook),
                              ("diff_modules", hook + ["--diff", "--modules"]), ("plain_modules", hook + ["--modules"])]:
                t, rss = timed(cmd, cwd=root)
                best[name] = min(best.get(name, t), t)
                if name == "diff":
                    peak = max(peak, rss)
    floor = best["git"] + best["argparse"]
    print(f"README-only commit: hook --diff {best['readme']:.3f}s, git diff --cached {best['git']:.3f}s + "
          f"python import argparse {best['argparse']:.3f}s: ratio {best['readme'] / floor:.2f} (target <= 1.5)")
    print(f"one-.tf commit: hook --diff {best['diff']:.3f}s, plain hook {best['plain']:.3f}s: "
          f"ratio {best['diff'] / best['plain']:.2f} (target <= 2.5)")
    print(f"one-.tf commit with --modules: hook --diff --modules {best['diff_modules']:.3f}s, plain hook --modules "
          f"{best['plain_modules']:.3f}s: ratio {best['diff_modules'] / best['plain_modules']:.2f} (target <= 3)")
    print(f"--diff peak memory {peak:.0f} MB (target < 300)")


if __name__ == "__main__":
    main()
