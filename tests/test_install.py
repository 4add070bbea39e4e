"""The package as users install and run it: version, typed stubs, the wheel, pre-commit hooks."""
import importlib
import importlib.metadata
import os
import pathlib
import pty
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import PACKAGE_DIR, read_until_prompt, run_cli

ROOT = pathlib.Path(__file__).resolve().parent.parent
BIN = pathlib.Path(sys.executable).parent
MODULES = ["hookgate", "stackreader", "reckoner", "ratebook", "hotspotter"]
# Built once, in the plain build's run: the sanitizer pass would only repeat them, slower.
packaging = pytest.mark.skipif(bool(os.environ.get("TW_SANITIZED")), reason="checked in the plain build's run")

CHEAP_TF = 'resource "aws_s3_bucket" "logs" {\n  bucket = "logs"\n}\n'
COSTLY_TF = 'resource "aws_instance" "big" {\n  instance_type = "m5.24xlarge"\n}\n'
# The C library, the C++ runtime and the loader: the libraries a wheel may take from the system.
RUNTIME_LIBS = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2",
                "librt.so.1", "ld-linux-x86-64.so.2"}


def run(cmd, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 1800)
    return subprocess.run([str(c) for c in cmd], **kw)


def test_version(tmp_path):
    res = run_cli(["--version"], cwd=tmp_path)
    assert (res.returncode, res.stdout) == (0, f"tally-warden {importlib.metadata.version('tally-warden')}\n")


def test_clone_root_imports_the_installed_package():
    res = run([sys.executable, "-m", "tally_warden", "--version"], cwd=ROOT)
    assert res.returncode == 0, res.stderr
    res = run([sys.executable, "-c", "import tally_warden.hookgate as h; print(h.__file__)"], cwd=ROOT)
    assert pathlib.Path(res.stdout.strip()).parent.resolve() == PACKAGE_DIR.resolve()
    assert ROOT / "src" not in pathlib.Path(res.stdout.strip()).resolve().parents


def test_hook_run_does_not_read_package_metadata(tmp_path):
    (tmp_path / "main.tf").write_text(CHEAP_TF)
    code = ("import atexit, sys\n"
            "atexit.register(lambda: print('metadata loaded:', 'importlib.metadata' in sys.modules))\n"
            f"sys.argv = ['tally-warden', {str(tmp_path)!r}, '-t', '1e9']\n"
            "from tally_warden.hookgate import main\nmain()\n")
    res = run([sys.executable, "-P", "-c", code], cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert res.returncode == 0, res.stderr
    assert res.stdout.endswith("metadata loaded: False\n")


def public_functions():
    for m in MODULES:
        mod = importlib.import_module(f"tally_warden.{m}")
        for name, obj in vars(mod).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != mod.__name__:
                continue
            members = vars(obj).items() if isinstance(obj, type) else [(name, obj)]
            for attr, fn in members:
                fn = getattr(fn, "__func__", fn)
                if callable(fn) and (not attr.startswith("_") or attr == "__init__"):
                    yield pytest.param(fn, id=f"{m}.{name}" + ("" if fn is obj else f".{attr}"))


@pytest.mark.parametrize("fn", list(public_functions()))
def test_signatures_show_types_and_public_names(fn):
    if not hasattr(fn, "__nb_signature__"):
        pytest.skip("defined in Python")
    signature = fn.__doc__.splitlines()[0]
    assert signature.startswith(fn.__name__ + "("), signature
    params = signature[signature.index("(") + 1:signature.rindex(")")]
    assert not re.search(r":\s*object\b", params) and "-> object" not in signature, signature


@packaging
def test_stubs_are_current():
    res = run([sys.executable, "-P", ROOT / "scripts" / "gen_stubs.py", "--check"], cwd=ROOT)
    assert res.returncode == 0, res.stdout + res.stderr


@packaging
def test_stubs_match_the_modules(tmp_path):
    res = run([sys.executable, "-P", "-m", "mypy.stubtest", "tally_warden", "--allowlist",
               ROOT / "tests" / "stubtest-allowlist.txt"], cwd=tmp_path)
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.parametrize("answer, status", [(b"confirm\n", 0), (b"nope\n", 1)])
def test_report_and_prompt_shown_on_terminal_when_output_is_collected(tmp_path, answer, status):
    """With standard output going to a pipe (a framework collecting it), the report and then the
    question reach the terminal, the question once; standard output still gets every line."""
    (tmp_path / "main.tf").write_text(COSTLY_TF)
    r, w = os.pipe()
    pid, fd = pty.fork()
    if pid == 0:
        os.dup2(w, 1)
        os.execv(sys.executable, [sys.executable, "-P", "-m", "tally_warden", str(tmp_path)])
    os.close(w)
    on_terminal, answered = read_until_prompt(fd, answer)
    _, code = os.waitpid(pid, 0)
    with os.fdopen(r, "rb") as pipe:
        collected = pipe.read().decode()
    assert answered, on_terminal
    assert os.waitstatus_to_exitcode(code) == status
    shown = on_terminal.decode().replace("\r\n", "\n")
    before, prompt, _ = shown.partition("[Tally-Warden] High-cost change detected. Type 'confirm' to proceed: ")
    assert prompt and shown.count(prompt) == 1
    lines = collected.splitlines()
    report = lines[:lines.index("-" * 70) + 1]  # everything up to the question
    assert [line for line in before.splitlines()] == report
    assert any("Total projected cost" in line for line in report) and "exceeds the safety threshold" in before
    # a pipe shown on the same terminal (`tally-warden | cat`) adds no second question
    assert "Type 'confirm'" not in collected
    assert ("Commit approved by developer." in collected) == (status == 0)


# --- the wheel --------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    res = run([ROOT / "scripts" / "dev", "wheel"], env=dict(os.environ, TW_WHEEL_DIR=str(out)))
    assert res.returncode == 0, res.stdout + res.stderr
    (whl,) = out.glob("*.whl")
    return whl


def host_manylinux_tag():
    major, minor = os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")[:2]
    return f"manylinux_{major}_{minor}_{os.uname().machine}"


@packaging
def test_wheel_is_tagged_for_this_host(wheel):
    assert wheel.name.startswith("tally_warden-") and "-cp313-cp313-" in wheel.name
    assert host_manylinux_tag() in wheel.name
    res = run([BIN / "auditwheel", "show", wheel])
    assert res.returncode == 0, res.stderr
    assert host_manylinux_tag() in " ".join(res.stdout.split())


@packaging
def test_wheel_modules_need_only_runtime_and_bundled_libraries(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as z:
        z.extractall(tmp_path)
        names = z.namelist()
    bundled = {pathlib.PurePath(n).name for n in names if ".libs/" in n}
    modules = [n for n in names if n.startswith("tally_warden/") and n.endswith(".so")]
    assert sorted(pathlib.PurePath(m).name.split(".")[0] for m in modules) == sorted(MODULES)
    for m in modules:
        dyn = run(["readelf", "-d", tmp_path / m]).stdout
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn))
        assert needed - RUNTIME_LIBS <= bundled, (m, needed - RUNTIME_LIBS - bundled)
        assert not any("simdjson" in n for n in needed), m
    assert {"py.typed", *(f"{m}.pyi" for m in MODULES)} <= {pathlib.PurePath(n).name for n in names}


@packaging
def test_wheel_carries_the_licence_of_every_bundled_library(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
    licences = {n.split(".dist-info/licenses/", 1)[1] for n in names if ".dist-info/licenses/" in n}
    wanted = {"simdjson": "third_party/simdjson/LICENSE"}
    for lib in {pathlib.PurePath(n).name for n in names if ".libs/" in n and ".so" in n}:
        stem = lib.split(".so")[0].split("-")[0].removeprefix("lib")  # libpcre2-8-a1b2c3.so.0.11.2
        wanted[stem] = f"third_party/{stem}/COPYRIGHT"
    assert {"pcre2", "sqlite3"} <= wanted.keys(), wanted
    for path in wanted.values():
        assert path in licences, sorted(licences)


@packaging
def test_wheel_installs_and_runs_in_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    assert run([sys.executable, "-m", "venv", venv]).returncode == 0
    res = run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel])
    assert res.returncode == 0, res.stderr
    tree = tmp_path / "repo"
    tree.mkdir()
    (tree / "main.tf").write_text(COSTLY_TF)
    res = run([venv / "bin" / "tally-warden", ".", "--strict"], cwd=tree, stdin=subprocess.DEVNULL,
              start_new_session=True)
    assert res.returncode == 1, res.stdout + res.stderr
    assert "Strict mode enabled" in res.stdout
    res = run([venv / "bin" / "tally-warden", "--version"], cwd=tmp_path)
    assert res.stdout.startswith("tally-warden ")


# --- pre-commit -------------------------------------------------------------------------------


def hook_has(option):
    return option in run_cli(["--help"], cwd=ROOT).stdout


def test_manifest_declares_both_hooks():
    text = (ROOT / ".pre-commit-hooks.yaml").read_text()
    hooks = {m.group(1): block for m, block in
             ((re.match(r"- id: (\S+)", b), b) for b in re.split(r"\n(?=- id: )", text[text.index("- id:"):]))}
    gate = hooks["tally-warden"]
    for line in ["entry: tally-warden", "language: python", "pass_filenames: false", "always_run: true",
                 "require_serial: true", "args: [--diff, --modules, --strict]", "verbose: false"]:
        assert line in gate
    assert "entry: tally-warden-hotspots" in hooks["tally-warden-hotspots"]
    assert "args: [--diff]" in hooks["tally-warden-hotspots"]
    assert "pass_filenames: false" not in hooks["tally-warden-hotspots"]


@pytest.mark.parametrize("doc", ["README.md", ".pre-commit-hooks.yaml"])
def test_every_rev_names_a_real_revision_or_a_placeholder(doc):
    revs = re.findall(r"^[\s#-]*rev:\s*(\S+)", (ROOT / doc).read_text(), re.M)
    assert revs
    for rev in revs:
        if re.fullmatch(r"<[^<>]+>", rev):
            continue
        res = run(["git", "-C", ROOT, "rev-parse", "--verify", "-q", f"{rev}^{{commit}}"])
        assert res.returncode == 0, f"{doc}: rev {rev} names no commit or tag"


def test_team_hook_script_starts_with_its_interpreter_line():
    text = (ROOT / "README.md").read_text()
    block = text[text.index("`scripts/git-hooks/pre-commit` (committed, executable):"):]
    script = [line.strip() for line in block.splitlines()[1:] if line.strip()]
    assert script[0] == "#!/bin/sh"


def test_team_hook_script_from_the_readme_gates_the_change(tmp_path):
    """The script as the README prints it: a commit of documentation in a repository whose
    total is over the threshold passes without a question."""
    text = (ROOT / "README.md").read_text()
    block = text[text.index("`scripts/git-hooks/pre-commit` (committed, executable):"):]
    block = block[:block.index("and once per clone:")]
    script = "\n".join(line[6:] for line in block.splitlines()[1:] if line.strip()) + "\n"
    repo = tmp_path / "repo"
    hook = repo / "scripts" / "git-hooks" / "pre-commit"
    hook.parent.mkdir(parents=True)
    hook.write_text(script)
    hook.chmod(0o755)
    (repo / "main.tf").write_text('resource "aws_instance" "big" {\n  instance_type = "m5.8xlarge"\n}\n')
    (repo / "README.md").write_text("docs\n")
    git(repo, "init", "-q")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "--no-verify", "-m", "base")
    git(repo, "config", "core.hooksPath", "scripts/git-hooks")
    (repo / "README.md").write_text("more docs\n")
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    res = subprocess.run(["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@example.com", "commit",
                          "-q", "-am", "docs"], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         start_new_session=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    # git gives a hook's standard output to its standard error
    assert "not installed" not in res.stderr and "Type 'confirm'" not in res.stderr
    assert "No infrastructure files changed" in res.stderr


def git(repo, *args):
    res = run(["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@example.com", *args])
    assert res.returncode == 0, res.stderr
    return res.stdout.strip()


@pytest.fixture(scope="module")
def hook_repo(tmp_path_factory):
    """This checkout's files (committed or not) as a repository of its own, and a pre-commit home."""
    base = tmp_path_factory.mktemp("precommit")
    src = base / "src"
    src.mkdir()
    listed = run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"]).stdout
    for rel in filter(None, listed.split("\0")):
        if (ROOT / rel).is_file():
            (src / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / rel, src / rel)
    git(src, "init", "-q")
    git(src, "add", "-A")
    git(src, "commit", "-q", "-m", "snapshot")
    env = dict(os.environ, PRE_COMMIT_HOME=str(base / "home"), PRE_COMMIT_COLOR="never")
    env.pop("VIRTUAL_ENV", None)
    return src, git(src, "rev-parse", "HEAD"), env


def project(tmp_path, tf_text, args, hook_repo):
    """A repository with one staged .tf file, and a pre-commit config using the gate with `args`.

    The config names the snapshot by path and commit, as `pre-commit try-repo` does; unlike
    try-repo (a new store, so a new build, at every call) the runs share one environment.
    """
    work = tmp_path / "work"
    work.mkdir()
    git(work, "init", "-q")
    git(work, "commit", "-q", "--allow-empty", "-m", "start")
    (work / "main.tf").write_text(tf_text)
    git(work, "add", "main.tf")
    src, rev, _ = hook_repo
    extra = ["--diff"] if hook_has("--diff") else []
    (work / "cfg.yaml").write_text(f"repos:\n- repo: {src}\n  rev: {rev}\n  hooks:\n  - id: tally-warden\n"
                                   f"    args: {extra + args}\n")
    return work


@packaging
def test_within_threshold_passes(hook_repo, tmp_path):
    _, _, env = hook_repo
    work = project(tmp_path, CHEAP_TF, [], hook_repo)
    res = run([BIN / "pre-commit", "run", "--config", "cfg.yaml", "--verbose"], cwd=work, env=env,
              stdin=subprocess.DEVNULL, start_new_session=True)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "within safety limits" in res.stdout


@packaging
def test_over_threshold_fails_in_strict_mode(hook_repo, tmp_path):
    _, _, env = hook_repo
    work = project(tmp_path, COSTLY_TF, ["--strict"], hook_repo)
    res = run([BIN / "pre-commit", "run", "--config", "cfg.yaml"], cwd=work, env=env, stdin=subprocess.DEVNULL,
              start_new_session=True)
    assert res.returncode == 1, res.stdout + res.stderr
    assert "Strict mode enabled. Cost threshold exceeded, aborting commit." in res.stdout


@packaging
@pytest.mark.parametrize("tf_text, status", [(CHEAP_TF, 0), (COSTLY_TF, 1)])
def test_pull_request_gated_by_its_range(hook_repo, tmp_path, tf_text, status):
    """pre-commit run --from-ref main --to-ref HEAD, as in CI: the branch's own change decides;
    what main gained since the branch left it does not count."""
    _, _, env = hook_repo
    work = project(tmp_path, tf_text, ["--strict", "--threshold", "50"], hook_repo)
    git(work, "branch", "-M", "main")
    git(work, "checkout", "-q", "-b", "feature")
    git(work, "commit", "-q", "-m", "branch")
    git(work, "checkout", "-q", "main")
    (work / "big.tf").write_text(COSTLY_TF.replace('"big"', '"bigger"'))
    git(work, "add", "big.tf")
    git(work, "commit", "-q", "-m", "main grows")
    git(work, "checkout", "-q", "feature")
    res = run([BIN / "pre-commit", "run", "--config", "cfg.yaml", "--verbose", "--from-ref", "main", "--to-ref", "HEAD"],
              cwd=work,
              env=env, stdin=subprocess.DEVNULL, start_new_session=True)
    assert res.returncode == status, res.stdout + res.stderr
    assert "Base total (main...HEAD): $0.00/month." in res.stdout


@packaging
@pytest.mark.parametrize("answer, status", [(b"confirm\n", 0), (b"no\n", 1)])
def test_prompt_reaches_the_terminal_through_the_framework(hook_repo, tmp_path, answer, status):
    _, _, env = hook_repo
    env = {k: v for k, v in env.items() if k != "PRE_COMMIT_COLOR"}  # as run from a terminal: colour on
    work = project(tmp_path, COSTLY_TF, [], hook_repo)
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(work)
        os.execve(str(BIN / "pre-commit"), [str(BIN / "pre-commit"), "run", "--config", "cfg.yaml"], env)
    out, answered = read_until_prompt(fd, answer, timeout=600)
    _, code = os.waitpid(pid, 0)
    assert answered, out.decode(errors="replace")
    assert os.waitstatus_to_exitcode(code) == status, out.decode(errors="replace")


@packaging
def test_a_commit_the_analyser_rejects_never_reaches_the_gate(hook_repo, tmp_path):
    # The README's order: the analyser first with fail_fast, then the gate (which would prompt).
    _, _, env = hook_repo
    work = project(tmp_path, COSTLY_TF, [], hook_repo)
    (work / "app.py").write_text("import requests\nfor a in aa:\n    for u in a:\n        requests.get(u)\n")
    git(work, "add", "app.py")
    src, rev, _ = hook_repo
    (work / "cfg.yaml").write_text(f"repos:\n- repo: {src}\n  rev: {rev}\n  hooks:\n"
                                   "  - id: tally-warden-hotspots\n    fail_fast: true\n"
                                   "  - id: tally-warden\n    args: [--diff]\n")
    res = run([BIN / "pre-commit", "run", "--config", "cfg.yaml"], cwd=work, env=env, stdin=subprocess.DEVNULL,
              start_new_session=True)
    assert res.returncode == 1, res.stdout + res.stderr
    assert "app.py:4: HIGH API_CALL_IN_LOOP" in res.stdout
    assert "cost gate" not in res.stdout and "confirm" not in res.stdout
