"""JavaScript/TypeScript and Terraform rules, dispatch by suffix and the directory walk."""

import pathlib
import re

import pytest

import tally_warden.hotspotter as hs
from tally_warden.hotspotter import Hotspotter

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "hotspotter"
PY = "import torch\n"
TF = 'instance_type = "p4d.24xlarge"\n'
JS = "for (;;) {\n  fetch(u)\n}\n"


def summary(findings):
    return [(f["line"], f["type"], f["severity"]) for f in findings]


@pytest.mark.parametrize(
    "fixture, expected",
    [
        ("loop_fetch.js", [(2, "API_CALL_IN_LOOP", "MEDIUM")]),
        # The line that starts a loop is not tested; the next one is, and then the loop ends.
        # axios is not imported: its name alone gives LOW.
        ("foreach.js", [(2, "API_CALL_IN_LOOP", "LOW")]),
        ("sync.js", [(3, "BLOCKING_SYNC_OP", "HIGH")]),
        # "//" and "*" lines leave the depth alone, "$.ajax" has no word boundary, "/*" closes.
        ("comments.js", [(4, "API_CALL_IN_LOOP", "MEDIUM")]),
    ],
)
def test_js_rules(fixture, expected):
    path = str(FIXTURES / "js" / fixture)
    assert summary(Hotspotter.trace_js_file(path)) == expected
    assert hs._trace_js_file(path) == Hotspotter.trace_js_file(path)


def test_js_messages():
    path = str(FIXTURES / "js" / "loop_fetch.js")
    assert Hotspotter.trace_js_file(path) == [{
        "file": path, "line": 2, "type": "API_CALL_IN_LOOP", "severity": "MEDIUM",
        "message": "API/HTTP call inside loop starting at line 1. Batch requests or use Promise.all() "
                   "to avoid sequential billing.",
        "code_snippet": "await fetch(u);"}]
    (f,) = Hotspotter.trace_js_file(str(FIXTURES / "js" / "sync.js"))
    line = f["code_snippet"]
    assert line.startswith("const data = fs.readFileSync(") and len(line) > 60
    assert f["message"] == (f"Synchronous blocking operation '{line[:60]}' in JS/TS. In Lambda or cloud run "
                            "containers this stalls the event loop.")


@pytest.mark.parametrize(
    "line",
    ["fetch(x)", "axios.get(u)", "axiosX()", "x.invoke(a)", "$.ajax(u)", "a$.ajax(u)", "got(u)", "forgot(u)",
     "my_request(u)", "sock.send(b)", "require('aws-sdk')", "needle (u)", "readFileSync(p)", "fs.execSync(c)",
     "xreadFileSync(p)", "\u00e9fetch(x)", "\u0661fetch(x)"],
)
def test_js_patterns_agree_with_the_host_re(tmp_path, line):
    # Each line inside a loop: the native rule flags it exactly when the host's pattern matches.
    p = tmp_path / "x.js"
    p.write_text(f"while (q) {{\n{line}\n}}\n", encoding="utf-8")
    types = [f["type"] for f in Hotspotter.trace_js_file(str(p))]
    expected = (["API_CALL_IN_LOOP"] if hs.JS_API_PATTERN.search(line) else []) + \
               (["BLOCKING_SYNC_OP"] if hs.JS_SYNC_PATTERN.search(line) else [])
    assert types == expected


def test_js_sync_message_counts_code_points(tmp_path):
    line = "\u00e9" * 70 + " = fs.readFileSync(p);"
    p = tmp_path / "u.js"
    p.write_text(f"for (;;) {{\n{line}\n", encoding="utf-8")
    (f,) = Hotspotter.trace_js_file(str(p))
    assert f"'{'\u00e9' * 60}'" in f["message"]


@pytest.mark.parametrize(
    "fixture, expected",
    [
        ("instance.tf", [(2, "p3."), (3, "p3."), (4, "a2-"), (5, "Standard_NC")]),
        # Each database block is judged on its own; storage is reported where it is set.
        ("storage.tf", [(5, "MISSING_DELETION_PROTECTION"), (8, "MISSING_DELETION_PROTECTION"), (6, "1001"),
                        (9, "1500")]),
        ("db_unprotected.tf", [(1, "MISSING_DELETION_PROTECTION")]),
        ("public_bucket.tf", [(1, "PUBLIC_S3_BUCKET")]),
    ],
)
def test_tf_rules(fixture, expected):
    path = str(FIXTURES / "tf" / fixture)
    findings = Hotspotter.trace_tf_file(path)
    assert hs._trace_tf_file(path) == findings
    got = []
    for f in findings:
        m = re.search(r"\('([^']*)'\)|allocated_storage = (\d+)GB", f["message"])
        got.append((f["line"], (m.group(1) or m.group(2)) if m else f["type"]))
    assert got == expected


def test_tf_messages_and_snippets():
    f = Hotspotter.trace_tf_file(str(FIXTURES / "tf" / "instance.tf"))[0]
    assert (f["type"], f["severity"], f["code_snippet"]) == ("EXPENSIVE_INSTANCE_TYPE", "HIGH",
                                                             "instance_type = 'p3.2xlarge'")
    assert f["message"] == ("GPU/memory-optimised instance type detected ('p3.'). Confirm this is intentional "
                            "\u2014 these are 5-100x more expensive than standard types.")
    s = Hotspotter.trace_tf_file(str(FIXTURES / "tf" / "storage.tf"))[3]
    assert (s["type"], s["severity"], s["code_snippet"]) == ("OVER_PROVISIONED_STORAGE", "MEDIUM",
                                                             "allocated_storage = 01500")
    assert s["message"] == ("allocated_storage = 1500GB detected. Over-provisioning storage wastes cost; "
                            "prefer auto-scaling storage options.")
    (d,) = Hotspotter.trace_tf_file(str(FIXTURES / "tf" / "db_unprotected.tf"))
    assert (d["severity"], d["code_snippet"]) == ("MEDIUM", 'resource "aws_db_instance" "main" {')
    assert d["message"] == ("aws_db_instance without deletion_protection = true. Accidental deletion can cause "
                            "data loss and unexpected recreation cost.")
    (b,) = Hotspotter.trace_tf_file(str(FIXTURES / "tf" / "public_bucket.tf"))
    assert (b["severity"], b["code_snippet"]) == ("HIGH", 'resource "aws_s3_bucket" "site" {')
    assert b["message"] == ("S3 bucket configured with public-read ACL. This can cause unlimited egress cost "
                            "due to uncontrolled download traffic.")


@pytest.mark.parametrize(
    "content, values",
    [
        ("allocated_storage = " + "9" * 30, ["9" * 30]),
        ("allocated_storage = 0" + "0" * 5000 + "1", []),
        ("allocated_storage = 0" + "0" * 5000 + "2000", ["2000"]),
        ("allocated_storage=\u0662\u0660\u0660\u0660", ["2000"]),
    ],
    ids=["beyond-64-bit", "many-zeros-small", "many-zeros-large", "non-ascii-digits"],
)
def test_tf_storage_numbers(tmp_path, content, values):
    p = tmp_path / "s.tf"
    p.write_text(content + "\n", encoding="utf-8")
    found = [f["message"].split("GB")[0] for f in Hotspotter.trace_tf_file(str(p))]
    assert found == [f"allocated_storage = {v}" for v in values]


@pytest.mark.parametrize("op", ["trace_js_file", "trace_tf_file", "trace_generic_file"])
def test_unreadable_pattern_files_give_nothing(tmp_path, op):
    (tmp_path / "dir.js").mkdir()
    (tmp_path / "gone.tf").symlink_to(tmp_path / "nowhere")
    (tmp_path / "real.js").write_text(JS)
    (tmp_path / "real.tf").write_text(TF)
    for p in (tmp_path / "dir.js", tmp_path / "gone.tf", tmp_path / "missing", f"{tmp_path / 'real.js'}\0",
              f"{tmp_path / 'real.tf'}\0"):
        assert getattr(Hotspotter, op)(str(p)) == []


def test_generic_file_applies_the_js_rules(tmp_path):
    p = tmp_path / "job.py"
    p.write_text("while (pending):\n    request(job)\n")
    assert summary(Hotspotter.trace_generic_file(str(p))) == [(2, "API_CALL_IN_LOOP", "LOW")]
    assert Hotspotter.trace_python_file(str(p)) == []


@pytest.mark.parametrize(
    "name, content, analysed",
    [("app.PY", PY, True), ("main.TF", TF, True), ("a.Mjs", JS, True), ("b.tsx", JS, True), ("c.jsx", JS, True),
     ("d.ts", JS, True), ("x.cjs", JS, False), ("x.pyw", PY, False), ("x.tfvars", TF, False),
     ("x.json", JS, False), (".py", PY, False), ("noext", PY, False)],
)
def test_dispatch_by_suffix(tmp_path, name, content, analysed):
    (tmp_path / name).write_text(content)
    assert bool(Hotspotter.trace_directory(str(tmp_path))) == analysed
    assert bool(Hotspotter._dispatch(tmp_path / name)) == analysed


def test_directory_walk_order_and_paths(tmp_path, monkeypatch):
    proj = tmp_path / "proj"
    for rel in ["a.py", "a/b.py", "a-b.py", "B.py", ".hidden/c.py", "x.py/inner.py"]:
        (proj / rel).parent.mkdir(parents=True, exist_ok=True)
        (proj / rel).write_text(PY)
    (proj / "gone.py").symlink_to(proj / "nowhere.py")
    (proj / "a" / "back").symlink_to(proj)  # a loop through a directory link
    monkeypatch.chdir(tmp_path)
    files = [f["file"] for f in Hotspotter.trace_directory("./proj/")]
    assert files == ["proj/.hidden/c.py", "proj/B.py", "proj/a/b.py", "proj/a-b.py", "proj/a.py",
                     "proj/x.py/inner.py"]
    monkeypatch.chdir(proj)
    assert [f["file"] for f in Hotspotter.trace_directory("")][:2] == [".hidden/c.py", "B.py"]
    assert Hotspotter.trace_directory(".//a.py") == Hotspotter.trace_python_file("a.py")
    assert Hotspotter.trace_directory(proj / "missing") == []


def test_walk_goes_through_the_class_it_was_called_on(tmp_path):
    (tmp_path / "one.py").write_text(PY)
    (tmp_path / "two.tf").write_text(TF)
    calls = []

    class Sub(Hotspotter):
        @classmethod
        def _dispatch(cls, path):
            calls.append(type(path).__name__)
            return super()._dispatch(path)

        @staticmethod
        def trace_python_file(filepath):
            return [{"file": filepath, "line": 7}]

    found = Sub.trace_directory(str(tmp_path))
    assert found[0] == {"file": str(tmp_path / "one.py"), "line": 7}
    assert [f["type"] for f in found[1:]] == ["EXPENSIVE_INSTANCE_TYPE"]
    assert calls == ["PosixPath", "PosixPath"]


def test_module_tables():
    assert (len(hs._EXPENSIVE_TRIGGERS), len(hs._LARGE_DATA_TRIGGERS), len(hs._THREAD_UNSAFE_TRIGGERS),
            len(hs.EXPENSIVE_INSTANCE_KEYWORDS)) == (41, 8, 2, 27)
    assert hs._EXPENSIVE_TRIGGERS[-2:] == ["invoke", "fetch"]
    for name in ["JS_LOOP_PATTERN", "JS_API_PATTERN", "JS_SYNC_PATTERN", "JS_LARGE_OBJ_PATTERN"]:
        assert isinstance(getattr(hs, name), re.Pattern) and getattr(hs, name).flags == re.UNICODE
    assert hs.JS_SYNC_PATTERN.pattern == r"\b(readFileSync|execSync|spawnSync|writeFileSync)"


def tf_findings(tmp_path, text):
    p = tmp_path / "main.tf"
    p.write_text(text, encoding="utf-8")
    return [(f["line"], f["type"], f["code_snippet"]) for f in Hotspotter.trace_tf_file(str(p))]


@pytest.mark.parametrize(
    "value, keyword",
    [("p4d.24xlarge", "p4d."), ("p4de.24xlarge", "p4de."), ("p5.48xlarge", "p5."), ("x2idn.16xlarge", "x2idn."),
     ("x2iedn.xlarge", "x2iedn."), ("u-6tb1.112xlarge", "u-"), ("ml.p3.2xlarge", "p3."), ("g6e.xlarge", "g6e."),
     ("Standard_M8ms", "Standard_M"), ("Standard_NC24ads_A100_v4", "Standard_NC"),
     ("zones/us-central1-a/machineTypes/a2-highgpu-1g", "a2-"), ("m3-ultramem-32", "m3-"),
     # cheap sizes that only contain a keyword's letters
     ("gp3.large", None), ("g5g.xlarge", None), ("x2gd.medium", None), ("c6gd.large", None), ("data100", None),
     ("Standard_B2s", None), ("menu-1", None), ("custom-m1", None), ("e2-medium", None), ("p4.large", None)],
)
def test_expensive_instance_keywords(tmp_path, value, keyword):
    found = tf_findings(tmp_path, f'resource "x" "y" {{\n  instance_type = "{value}"\n}}\n')
    assert found == ([(2, "EXPENSIVE_INSTANCE_TYPE", f'instance_type = "{value}"')] if keyword else [])
    if keyword:
        (f,) = Hotspotter.trace_tf_file(str(tmp_path / "main.tf"))
        assert f"('{keyword}')" in f["message"]


def test_one_instance_finding_per_line(tmp_path):
    found = tf_findings(tmp_path, 'size = "p3.2xlarge, g5.xlarge, Standard_NC6"\n')
    assert [f[:2] for f in found] == [(1, "EXPENSIVE_INSTANCE_TYPE")]


DBS = '''resource "aws_db_instance" "protected" {
  deletion_protection = true
}

resource "aws_db_instance" "open" {
  engine = "postgres"
  tags = { note = "deletion_protection = true is set elsewhere}" }
  # deletion_protection = true
}

resource "aws_db_instance" "var" {
  deletion_protection = var.protect
}
# resource "aws_db_instance" "old" {
'''


def test_deletion_protection_is_judged_per_block(tmp_path):
    assert tf_findings(tmp_path, DBS) == [
        (5, "MISSING_DELETION_PROTECTION", 'resource "aws_db_instance" "open" {'),
        (11, "MISSING_DELETION_PROTECTION", 'resource "aws_db_instance" "var" {')]


@pytest.mark.parametrize(
    "text, lines",
    [
        # the current provider form: an aws_s3_bucket_acl resource
        ('resource "aws_s3_bucket" "b" {\n  bucket = "b"\n}\n\nresource "aws_s3_bucket_acl" "b" {\n'
         '  bucket = aws_s3_bucket.b.id\n  acl = "public-read"\n}\n', [5]),
        ('resource "aws_s3_bucket" "a" {\n  acl = "private"\n}\nresource "aws_s3_bucket" "b" {\n'
         '  acl = "public-read-write"\n}\n', [4]),
        # a public ACL on another resource does not make the bucket public
        ('resource "aws_s3_bucket" "a" {\n}\nresource "aws_s3_object" "o" {\n  acl = "public-read"\n}\n', []),
        ('resource "aws_s3_bucket_acl" "a" {\n  acl = "private" # not "public-read"\n}\n', []),
    ],
)
def test_public_bucket_at_its_block(tmp_path, text, lines):
    assert [f[0] for f in tf_findings(tmp_path, text) if f[1] == "PUBLIC_S3_BUCKET"] == lines


def test_storage_at_its_line_with_crlf_and_unbalanced_braces(tmp_path):
    text = 'resource "aws_db_instance" "d" {\r\n  allocated_storage = 2048\r\n  deletion_protection = true\r\n'
    assert tf_findings(tmp_path, text) == [(2, "OVER_PROVISIONED_STORAGE", "allocated_storage = 2048")]


SUPPRESSED = {
    "py": ("import torch{c}\n", "#", "HEAVY_IMPORT"),
    "js": ("while (q) {{\n  fs.readFileSync(p); fetch(u){c}\n}}\n", "//", "API_CALL_IN_LOOP"),
    "tf": ('instance_type = "p5.48xlarge"{c}\n', "#", "EXPENSIVE_INSTANCE_TYPE"),
}


@pytest.mark.parametrize("lang", ["py", "js", "tf"])
@pytest.mark.parametrize(
    "comment, silenced",
    [("{m} tally-warden: ignore", "all"), ("{m}tally-warden:ignore[{t}]", "one"),
     ("{m} tally-warden: ignore[ {tl} , OTHER ]", "one"), ("{m} tally-warden: ignore[OTHER]", "none"),
     ("{m} tally-warden: ignored", "none"), ("{m} tally-warden: ignore[{t}", "none"),
     ('; s = "tally-warden: ignore"', "none"), ("{m} note; tally-warden: ignore", "all")],
)
def test_suppression_comments(tmp_path, lang, comment, silenced):
    template, marker, typ = SUPPRESSED[lang]
    plain = tmp_path / f"plain.{lang}"
    plain.write_text(template.format(c=""))
    before = Hotspotter.trace_directory(str(plain))
    p = tmp_path / f"marked.{lang}"
    p.write_text(template.format(c="  " + comment.format(m=marker, t=typ, tl=typ.lower())))
    after = [f["type"] for f in Hotspotter.trace_directory(str(p))]
    types = [f["type"] for f in before]
    assert typ in types
    expected = {"all": [], "one": [t for t in types if t != typ], "none": types}[silenced]
    assert after == expected


def test_terraform_takes_both_comment_markers_and_js_only_its_own(tmp_path):
    tf = tmp_path / "a.tf"
    tf.write_text('instance_type = "p5.48xlarge" // tally-warden: ignore\n')
    assert Hotspotter.trace_tf_file(str(tf)) == []
    js = tmp_path / "a.js"
    js.write_text("for (;;) {\n  fetch(u) # tally-warden: ignore\n}\n")
    assert len(Hotspotter.trace_js_file(str(js))) == 1


def test_walk_skips_tool_directories_below_the_path_given(tmp_path, monkeypatch):
    for d in [".git", ".venv", "venv", "node_modules", ".tox", "__pycache__", ".pytest_cache", "src", "src/venv"]:
        (tmp_path / d).mkdir(parents=True, exist_ok=True)
        (tmp_path / d / "m.py").write_text(PY)
    (tmp_path / "m.py").write_text(PY)
    monkeypatch.chdir(tmp_path)
    assert [f["file"] for f in Hotspotter.trace_directory(".")] == ["m.py", "src/m.py"]
    # A path given explicitly is scanned even inside a skipped directory.
    assert [f["file"] for f in Hotspotter.trace_directory(".venv")] == [".venv/m.py"]
    assert [f["file"] for f in Hotspotter.trace_directory("src/venv/m.py")] == ["src/venv/m.py"]


@pytest.mark.parametrize(
    "name, text, left",
    [("a.py", 'for u in us:\n    requests.get("# tally-warden: ignore")\n', 1),
     ("b.py", 'for u in us:\n    requests.get("a#b\'")  # tally-warden: ignore\n', 0),
     ("c.js", 'for (;;) {\n  fetch("http://x//tally-warden: ignore")\n}\n', 1),
     ("d.js", 'for (;;) {\n  fetch(`//${u}`) // tally-warden: ignore\n}\n', 0),
     ("e.tf", 'size = "p5.48xlarge#tally-warden: ignore"\n', 1)],
)
def test_directive_counts_only_in_a_comment(tmp_path, name, text, left):
    (tmp_path / name).write_text(text)
    assert len(Hotspotter.trace_directory(str(tmp_path / name))) == left
