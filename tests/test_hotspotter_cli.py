"""The tally-warden-hotspots command, run as a subprocess on fixture trees."""

import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from tally_warden.hotspotter import Hotspotter

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "hotspotter"
REFERENCE = FIXTURES / "cli.sarif"
SCHEMA_NAME = pathlib.Path("shared", "schemas", "sarif-schema-2.1.0.json")
TEXT = [
    "app/handler.py:3: LOW HEAVY_IMPORT Import of 'pandas' can",
    "app/handler.py:8: MEDIUM API_CALL_IN_LOOP Cloud/network call 'requests.get' inside",
    "app/handler.py:10: LOW API_CALL_IN_LOOP Cloud/network call 'cursor.fetchall' inside",
    "app/handler.py:11: MEDIUM BLOCKING_SLEEP 'time.sleep' blocks",
    "build/generated.py:1: LOW HEAVY_IMPORT Import of 'numpy' can",
    "infra/main.tf:2: HIGH EXPENSIVE_INSTANCE_TYPE GPU/memory-optimised instance type detected ('p4d.').",
    "infra/main.tf:10: MEDIUM MISSING_DELETION_PROTECTION aws_db_instance without",
    "infra/main.tf:18: HIGH PUBLIC_S3_BUCKET S3 bucket configured",
    "infra/main.tf:6: MEDIUM OVER_PROVISIONED_STORAGE allocated_storage = 2000GB detected.",
    "web/fetch.js:2: HIGH BLOCKING_SYNC_OP Synchronous blocking operation 'const body = fs.readFileSync(u);'",
]


def schema_path():
    # The schemas lie in shared/ beside the clone (or beside a folder of work trees).
    for parent in pathlib.Path(__file__).resolve().parents[1:]:
        if (parent / SCHEMA_NAME).is_file():
            return parent / SCHEMA_NAME
    return None


def run(args, cwd):
    return subprocess.run([sys.executable, "-P", "-m", "tally_warden.hotspots", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def proj(tmp_path):
    """The fixture tree, with tool directories that the walk must skip."""
    root = tmp_path / "proj"
    shutil.copytree(FIXTURES / "cli", root)
    for rel, text in [(".venv/lib/site.py", "import torch\n"), (".git/hooks/pre.py", "import torch\n"),
                      ("node_modules/pkg/index.js", "for (;;) {\n  execSync(c)\n}\n"),
                      ("app/__pycache__/x.py", "import torch\n")]:
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    return root


def results(sarif):
    return sarif["runs"][0]["results"]


def test_text_output(proj):
    r = run([], proj)
    assert (r.returncode, r.stderr) == (1, "")
    lines = r.stdout.splitlines()
    assert len(lines) == len(TEXT)
    for line, start in zip(lines, TEXT):
        assert line.startswith(start)


def test_json_holds_the_api_findings_and_a_summary(proj, monkeypatch):
    r = run(["--format", "json"], proj)
    data = json.loads(r.stdout)
    monkeypatch.chdir(proj)
    assert data["findings"] == Hotspotter.trace_directory(".")
    assert data["summary"] == {
        "files": 4, "findings": 10, "by_severity": {"HIGH": 3, "MEDIUM": 4, "LOW": 3},
        "by_type": {"API_CALL_IN_LOOP": 2, "BLOCKING_SLEEP": 1, "BLOCKING_SYNC_OP": 1, "EXPENSIVE_INSTANCE_TYPE": 1,
                    "HEAVY_IMPORT": 2, "MISSING_DELETION_PROTECTION": 1, "OVER_PROVISIONED_STORAGE": 1,
                    "PUBLIC_S3_BUCKET": 1}}


def normalised(sarif):
    run0 = sarif["runs"][0]
    run0["tool"]["driver"]["version"] = "VERSION"
    run0["originalUriBaseIds"]["SRCROOT"]["uri"] = "file:///SRCROOT/"
    return sarif


def test_sarif_validates_and_matches_the_reference(proj):
    r = run(["--format", "sarif"], proj)
    assert r.returncode == 1
    sarif = json.loads(r.stdout)
    assert sarif["runs"][0]["originalUriBaseIds"]["SRCROOT"]["uri"] == proj.resolve().as_uri() + "/"
    assert normalised(sarif) == json.loads(REFERENCE.read_text())
    first = results(sarif)[0]
    digest = hashlib.sha256(b"HEAVY_IMPORT\0app/handler.py\0import pandas").hexdigest()[:16]
    assert first["partialFingerprints"]["primaryLocationLineHash"] == f"{digest}:1"


def test_sarif_validates_against_the_schema(proj):
    schema = schema_path()
    if schema is None:
        pytest.skip("shared/schemas/sarif-schema-2.1.0.json is not beside the repository")
    jsonschema = pytest.importorskip("jsonschema")
    (proj / "broken.py").write_bytes(b"x = 1\n\0\n")  # a finding without a line
    (proj / "dir with space").mkdir()
    (proj / "dir with space" / "caf\u00e9.py").write_text("import scipy\n")
    sarif = json.loads(run(["--format", "sarif"], proj).stdout)
    validator = jsonschema.Draft4Validator(json.loads(schema.read_text()),
                                           format_checker=jsonschema.Draft4Validator.FORMAT_CHECKER)
    assert [e.message for e in validator.iter_errors(sarif)] == []
    by_uri = {x["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]: x for x in results(sarif)}
    assert by_uri["broken.py"]["locations"][0]["physicalLocation"]["region"]["startLine"] == 1
    assert "dir%20with%20space/caf%C3%A9.py" in by_uri
    rules = [rule["id"] for rule in sarif["runs"][0]["tool"]["driver"]["rules"]]
    assert all(rules[x["ruleIndex"]] == x["ruleId"] for x in results(sarif))


def test_fingerprints_survive_lines_added_above(tmp_path):
    body = "for u in urls:\n    requests.get(u)\n    requests.get(u)\n"
    (tmp_path / "job.py").write_text(body)
    before = [x["partialFingerprints"]["primaryLocationLineHash"]
              for x in results(json.loads(run(["--format", "sarif"], tmp_path).stdout))]
    (tmp_path / "job.py").write_text("import os\n\n\n" + body)
    after = results(json.loads(run(["--format", "sarif"], tmp_path).stdout))
    assert [x["locations"][0]["physicalLocation"]["region"]["startLine"] for x in after] == [5, 6]
    assert [x["partialFingerprints"]["primaryLocationLineHash"] for x in after] == before
    assert [h.split(":")[1] for h in before] == ["1", "2"] and before[0].split(":")[0] == before[1].split(":")[0]


@pytest.mark.parametrize(
    "args, status",
    [([], 1), (["--fail-on", "never"], 0), (["--fail-on", "NEVER"], 0), (["--min-severity", "low"], 1),
     (["--select", "HEAVY_IMPORT"], 0), (["--select", "HEAVY_IMPORT", "--fail-on", "LOW"], 1),
     (["--ignore", "EXPENSIVE_INSTANCE_TYPE,PUBLIC_S3_BUCKET,BLOCKING_SYNC_OP"], 0),
     (["--ignore", "EXPENSIVE_INSTANCE_TYPE,PUBLIC_S3_BUCKET,BLOCKING_SYNC_OP", "--fail-on", "MEDIUM"], 1),
     (["app"], 0), (["--format", "xml"], 2), (["--select", "NO_SUCH_TYPE"], 2), (["missing"], 2),
     (["--min-severity", "CRITICAL"], 2), (["--exclude", "a/b"], 2)],
)
def test_exit_statuses(proj, args, status):
    r = run(args, proj)
    assert r.returncode == status, r.stderr
    assert ("Traceback" in r.stderr) is False
    if status == 2:
        assert r.stdout == "" and "usage:" in r.stderr


@pytest.mark.parametrize(
    "args, types",
    [(["--min-severity", "HIGH"], ["EXPENSIVE_INSTANCE_TYPE", "PUBLIC_S3_BUCKET", "BLOCKING_SYNC_OP"]),
     (["--select", "heavy_import", "--select", "BLOCKING_SLEEP"], ["HEAVY_IMPORT", "BLOCKING_SLEEP", "HEAVY_IMPORT"]),
     (["--select", "HEAVY_IMPORT,BLOCKING_SLEEP", "--ignore", "HEAVY_IMPORT"], ["BLOCKING_SLEEP"]),
     (["--min-severity", "MEDIUM", "--select", "HEAVY_IMPORT"], [])],
)
def test_choosing_findings(proj, args, types):
    r = run(["--format", "json", "--fail-on", "never", *args], proj)
    data = json.loads(r.stdout)
    assert [f["type"] for f in data["findings"]] == types
    assert data["summary"]["findings"] == len(types)


def test_excludes_and_explicit_paths(proj):
    files = lambda r: sorted({line.split(":")[0] for line in r.stdout.splitlines()})  # noqa: E731
    assert files(run(["--exclude", "build", "--exclude", "web"], proj)) == ["app/handler.py", "infra/main.tf"]
    # below a path given explicitly the tool directories are skipped, but the path itself is scanned
    assert files(run([".venv", "node_modules/pkg/index.js"], proj)) == [".venv/lib/site.py",
                                                                        "node_modules/pkg/index.js"]


def test_paths_on_both_sides_of_the_options(proj):
    r = run(["app", "--format", "json", "--fail-on", "never", "web"], proj)
    assert r.returncode == 0, r.stderr
    assert sorted({f["file"] for f in json.loads(r.stdout)["findings"]}) == ["app/handler.py", "web/fetch.js"]


def test_pre_commit_file_arguments(proj):
    args = ["--format", "json", "web/fetch.js", "notes.txt", "./app/handler.py", "web/fetch.js"]
    data = json.loads(run(args, proj).stdout)
    assert [f["file"] for f in data["findings"]] == ["web/fetch.js"] + ["app/handler.py"] * 4
    assert data["summary"]["files"] == 2


def test_paths_are_relative_to_the_current_directory(proj):
    r = run([str(proj / "infra" / "main.tf"), "../web"], proj / "app")
    assert [line.split(":")[0] for line in r.stdout.splitlines()] == ["../infra/main.tf"] * 4 + ["../web/fetch.js"]


def test_console_script_is_installed(proj):
    script = pathlib.Path(sys.executable).parent / "tally-warden-hotspots"
    if not script.exists():
        pytest.skip("the package is not installed with its scripts here")
    r = subprocess.run([str(script), "--fail-on", "never", "infra"], cwd=proj, capture_output=True, text=True,
                       timeout=120)
    assert (r.returncode, len(r.stdout.splitlines())) == (0, 4)


def test_file_names_round_trip_in_every_format(tmp_path):
    source = b"import time\nfor u in urls:\n    time.sleep(1)\n"
    names = [b"esc\x1b[2J.py", b"bad\xff.py"]
    for name in names:
        with open(os.fsencode(tmp_path) + b"/" + name, "wb") as f:
            f.write(source)

    def output(fmt):
        return subprocess.run([sys.executable, "-P", "-m", "tally_warden.hotspots", "--format", fmt], cwd=tmp_path,
                              capture_output=True, timeout=120).stdout

    text = output("text")
    assert b"\x1b" not in text and b"\xff" not in text
    assert b"esc\\x1b[2J.py:3:" in text and b"bad\\xff.py:3:" in text
    files = {f["file"] for f in json.loads(output("json"))["findings"]}
    assert {os.fsencode(f) for f in files} == set(names)
    uris = {x["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]
            for x in results(json.loads(output("sarif")))}
    assert uris == {"esc%1B%5B2J.py", "bad%FF.py"}


def test_unreadable_directory_is_reported_as_the_hook_does(tmp_path):
    from test_bad_input import drop_privileges
    prefix = drop_privileges()
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "a.py").write_text("import pandas\n")
    (tmp_path / "b.py").write_text("import pandas\n")
    os.chmod(locked, 0)
    try:
        res = subprocess.run([*prefix, sys.executable, "-P", "-m", "tally_warden.hotspots", "--format", "json"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=120)
    finally:
        os.chmod(locked, 0o755)
    assert res.stderr == "Error reading directory ./locked: [Errno 13] Permission denied: './locked'\n"
    assert [f["file"] for f in json.loads(res.stdout)["findings"]] == ["b.py"]
