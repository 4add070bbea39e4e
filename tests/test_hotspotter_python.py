"""The Python syntax-tree tracer and the Python front end of the source analyser."""

import ast
import pathlib
import re

import pytest

from tally_warden.hotspotter import Hotspotter, PythonASTTracer

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "hotspotter" / "py"
API, DATA, SLEEP, N1 = "API_CALL_IN_LOOP", "LARGE_DATA_LOAD_IN_LOOP", "BLOCKING_SLEEP", "N_PLUS_1_QUERY"
KEYS = ["file", "line", "type", "severity", "message", "code_snippet"]


def trace_fixture(name):
    return Hotspotter.trace_python_file(str(FIXTURES / name))


def summary(findings):
    return [(f["line"], f["type"], f["severity"]) for f in findings]


def quoted_names(findings):
    return [re.search(r"'([^']*)'", f["message"]).group(1) for f in findings]


def write(tmp_path, name, data):
    p = tmp_path / name
    if isinstance(data, str):
        data = data.encode()
    p.write_bytes(data)
    return str(p)


@pytest.mark.parametrize(
    "fixture, expected",
    [
        # A traced cursor's fetchall is a query; nested loops give HIGH; a comprehension counts
        # as a loop at the call's own line; the iterable of a for header runs once.
        ("loops.py", [(5, N1, "HIGH"), (8, API, "HIGH"), (9, API, "MEDIUM")]),
        ("sleep.py", [(3, SLEEP, "MEDIUM")]),
        # str.find, the builtin filter() and re.findall do no I/O.
        ("db_names.py", []),
        ("other_comprehensions.py", []),
        ("imports.py", [(1, "HEAVY_IMPORT", "LOW"), (1, "HEAVY_IMPORT", "LOW"), (2, "HEAVY_IMPORT", "LOW")]),
        # Untraced receivers: at most LOW, one finding for a call chain; a literal's method none.
        ("names.py", [(3, API, "LOW"), (4, N1, "LOW")]),
    ],
)
def test_fixture_findings(fixture, expected):
    findings = trace_fixture(fixture)
    assert summary(findings) == expected
    for f in findings:
        assert list(f) == KEYS
        assert f["file"] == str(FIXTURES / fixture)


@pytest.mark.parametrize(
    "fixture, names",
    [
        ("loops.py", ["cursor.fetchall", "requests.get", "requests.get"]),
        ("names.py", ["boto3.client().put_object", "execute"]),
        ("imports.py", ["pandas", "torch", "numpy"]),
    ],
)
def test_call_and_module_names(fixture, names):
    assert quoted_names(trace_fixture(fixture)) == names


def test_messages_and_snippets():
    f = trace_fixture("loops.py")
    assert f[1]["message"] == (
        "Cloud/network call 'requests.get' inside a loop (depth=2, loop at line 7). "
        "Each iteration creates a separate billable request \u2014 batch or parallelize instead.")
    assert f[1]["code_snippet"] == "requests.get(url)"
    assert f[0]["message"] == (
        "Database call 'cursor.fetchall' detected inside a loop \u2014 classic N+1 query pattern. "
        "Fetch all needed records in a single query before the loop.")
    assert "(depth=1, loop at line 9)" in f[2]["message"]
    assert trace_fixture("sleep.py")[0]["message"] == (
        "'time.sleep' blocks the thread/event loop. In async or cloud function contexts this wastes "
        "compute billing time. Use asyncio.sleep or non-blocking waits.")
    assert trace_fixture("imports.py")[0]["message"] == (
        "Import of 'pandas' can significantly inflate cold-start time and memory in serverless "
        "functions, increasing billing cost.")


def test_large_data_load_in_loop(tmp_path):
    path = write(tmp_path, "load.py", "import pandas as pd\nwhile True:\n    d = pd.read_csv(p)\njson.loads(s)\n")
    (f,) = [f for f in Hotspotter.trace_python_file(path) if f["type"] == DATA]
    assert (f["line"], f["type"], f["severity"]) == (3, DATA, "HIGH")
    assert f["message"] == ("Large data operation 'pd.read_csv' inside a loop. Load data once outside "
                            "the loop to avoid repeated I/O and memory spikes.")


@pytest.mark.parametrize(
    "source, size",
    [
        ("x = [{items}]", 500),
        ("x = [{items}]", None),
        ("x = {{{pairs}}}", None),
        ("x = {{**base, {pairs_less_one}}}", None),
        ("x = ({items},)", 0),
        ("x = {{{items}}}", 0),
        ("x: list = [{items}]", 0),
        ("x += [{items}]", 0),
        ("x = [[{items}]]", 0),
    ],
)
def test_literal_size(tmp_path, source, size):
    n = 501 if size is None else 500 if size == 500 else 501
    text = source.format(items=", ".join(["1"] * n),
                         pairs=", ".join(f"{i}: 0" for i in range(n)),
                         pairs_less_one=", ".join(f"{i}: 0" for i in range(n - 1)))
    findings = Hotspotter.trace_python_file(write(tmp_path, "lit.py", text + "\n"))
    if size is None:
        (f,) = findings
        assert (f["line"], f["type"], f["severity"]) == (1, "LARGE_LITERAL_IN_MEMORY", "LOW")
        assert f["message"] == ("Large literal collection (501 items) hardcoded in source. Consider loading "
                                "from a file or database to reduce memory/startup cost.")
    else:
        assert findings == []


@pytest.mark.parametrize(
    "data, line, snippet",
    [
        (b"\xef\xbb\xbfimport torch\n", 1, "import torch"),
        (b"x = 1\f\ny = 2\nimport torch\n", 3, "import torch"),
        ("s = '\u2028'\nimport torch\n".encode(), 2, "import torch"),
        (b"x = 1\r\ny = 2\rimport torch\r\n", 3, "import torch"),
        (b"# \xff\xfe\nimport torch  \n", 2, "import torch"),
    ],
    ids=["bom", "form-feed", "line-separator", "cr-and-crlf", "invalid-utf8-comment"],
)
def test_text_and_line_numbering(tmp_path, data, line, snippet):
    (f,) = Hotspotter.trace_python_file(write(tmp_path, "t.py", data))
    assert (f["type"], f["line"], f["code_snippet"]) == ("HEAVY_IMPORT", line, snippet)


def test_tracer_gets_the_parser_lines(tmp_path, monkeypatch):
    import tally_warden.hotspotter as mod
    seen = []

    class Keep(mod.PythonASTTracer):
        def __init__(self, filepath, source_lines):
            super().__init__(filepath, source_lines)
            seen.append(self.lines)

    monkeypatch.setattr(mod, "PythonASTTracer", Keep)
    path = write(tmp_path, "t.py", "\ufeffa = 1\x0c\r\nb = '\u2028'\rc = 3\n\n".encode())
    assert Hotspotter.trace_python_file(path) == []
    assert seen == [["a = 1\x0c", "b = '\u2028'", "c = 3", ""]]


@pytest.mark.parametrize(
    "data, line, message",
    [
        (b"def f(:\n", 1, "Syntax error: invalid syntax"),
        (b"x = 1\n  y = 2\n", 2, "Syntax error: unexpected indent"),
        (b"a\x00b\n", 0, "Syntax error: source code string cannot contain null bytes"),
        (b"x = \xff\n", 1, "Syntax error: invalid character '\ufffd' (U+FFFD)"),
    ],
)
def test_syntax_errors(tmp_path, data, line, message):
    path = write(tmp_path, "bad.py", data)
    assert Hotspotter.trace_python_file(path) == [
        {"file": path, "line": line, "type": "SYNTAX_ERROR", "severity": "LOW", "message": message,
         "code_snippet": ""}]


def test_unreadable_files(tmp_path):
    d = tmp_path / "pkg.py"
    d.mkdir()
    dangling = tmp_path / "gone.py"
    dangling.symlink_to(tmp_path / "missing.py")
    loop = tmp_path / "loop.py"
    loop.symlink_to(loop)
    for p, errno_text in [(d, "[Errno 21] Is a directory"), (dangling, "[Errno 2] No such file or directory"),
                          (loop, "[Errno 40] Too many levels of symbolic links")]:
        (f,) = Hotspotter.trace_python_file(str(p))
        assert f == {"file": str(p), "line": 0, "type": "ERROR", "severity": "LOW",
                     "message": f"Could not read file: {errno_text}: '{p}'", "code_snippet": ""}
    # A NUL ends no path early: the name is not that of the file before it.
    real = tmp_path / "real.py"
    real.write_text("import torch\n")
    (f,) = Hotspotter.trace_python_file(f"{real}\0.py")
    assert (f["type"], f["message"]) == ("ERROR", "Could not read file: embedded null byte")
    assert Hotspotter.trace_directory(f"{real}\0") == []


def test_tree_too_deep_to_parse_gives_one_error_and_the_walk_goes_on(tmp_path):
    (tmp_path / "a_deep.py").write_text("x = " + " + ".join(["1"] * 100_000) + "\n")
    (tmp_path / "b_ok.py").write_text("import torch\n")
    findings = Hotspotter.trace_directory(str(tmp_path))
    assert [(pathlib.Path(f["file"]).name, f["type"]) for f in findings] == [
        ("a_deep.py", "ERROR"), ("b_ok.py", "HEAVY_IMPORT")]
    assert findings[0]["line"] == 0
    assert findings[0]["message"].startswith("Could not analyse file: ")
    assert "recursion" in findings[0]["message"]


def test_tree_deeper_than_the_host_recursion_limit_is_walked(tmp_path):
    # Parses, but a recursive visitor would exceed the host's recursion limit.
    depth = 3000
    source = "for u in us:\n    y = requests.get(u) + " + " + ".join(["1"] * depth) + "\n"
    path = write(tmp_path, "deep.py", source)
    (f,) = Hotspotter.trace_python_file(path)
    assert (f["line"], f["type"]) == (2, API)


def test_handler_recursing_too_deep_gives_an_error_finding(tmp_path, monkeypatch):
    import tally_warden.hotspotter as mod

    class Recursive(mod.PythonASTTracer):
        def visit_BinOp(self, node):
            self.generic_visit(node)

    monkeypatch.setattr(mod, "PythonASTTracer", Recursive)
    path = write(tmp_path, "deep.py", "import torch\nx = " + " + ".join(["1"] * 3000) + "\n")
    (f,) = Hotspotter.trace_python_file(path)
    assert (f["line"], f["type"]) == (0, "ERROR")
    assert f["message"].startswith("Could not analyse file: maximum recursion depth exceeded")


def test_state_after_a_walk():
    tree = ast.parse((FIXTURES / "loops.py").read_text())
    t = PythonASTTracer("x.py", [])
    assert (t.filepath, t.lines, t.warnings, t.loop_depth, t.loop_nodes, t._function_stack) == (
        "x.py", [], [], 0, [], [])
    t.visit(tree)
    assert (t.loop_depth, t.loop_nodes, t._function_stack) == (0, [], [])
    assert len(t.warnings) == 3 and all(w["code_snippet"] == "" for w in t.warnings)
    assert isinstance(t, ast.NodeVisitor)


@pytest.mark.parametrize("lineno, snippet", [(0, ""), (1, "first"), (2, "second"), (3, "")])
def test_add_warning_snippet_bounds(lineno, snippet):
    t = PythonASTTracer("f.py", ["  first\t", "\u3000second"])
    t._add_warning(lineno, "T", "LOW", "m")
    assert t.warnings == [{"file": "f.py", "line": lineno, "type": "T", "severity": "LOW", "message": "m",
                           "code_snippet": snippet}]


@pytest.mark.parametrize(
    "expr, name",
    [("requests.get", "requests.get"), ("boto3.client('s3').put_object", "boto3.client().put_object"),
     ("conns[0].execute", "execute"), ("', '.join", "join"), ("handlers[k]", ""), ("f()()", "f()()"),
     ("(lambda: 0)", "")],
)
def test_get_call_name(expr, name):
    assert PythonASTTracer("f", [])._get_call_name(ast.parse(expr, mode="eval").body) == name


class Recorder(PythonASTTracer):
    def __init__(self, filepath, source_lines):
        super().__init__(filepath, source_lines)
        self.calls = []

    def visit_Call(self, node):
        self.calls.append((self._get_call_name(node.func), self.loop_depth, len(self.loop_nodes),
                           len(self._function_stack)))
        super().visit_Call(node)


def test_subclass_handler_is_honoured():
    source = "def f():\n    for a in b:\n        [g(x) for x in a]\n    h()\n"
    r = Recorder("f.py", source.splitlines())
    r.visit(ast.parse(source))
    assert r.calls == [("g", 2, 1, 1), ("h", 0, 0, 1)]


@pytest.mark.parametrize(
    "body, expected",
    [
        # A loop handler that does not descend hides everything inside the loop.
        ("def visit_For(self, node):\n    pass\n", [(9, API, "MEDIUM")]),
        # Findings go through the subclass's own recorder.
        ("def _add_warning(self, lineno, wtype, severity, message):\n"
         "    if wtype != N1:\n"
         "        super()._add_warning(lineno, wtype, severity, message)\n",
         [(8, API, "HIGH"), (9, API, "MEDIUM")]),
        # A call-name override changes what the call rules see.
        ("def _get_call_name(self, node):\n    return 'time.sleep'\n",
         [(3, SLEEP, "MEDIUM"), (3, SLEEP, "MEDIUM"), (5, SLEEP, "MEDIUM"), (8, SLEEP, "MEDIUM"),
          (9, SLEEP, "MEDIUM"), (10, SLEEP, "MEDIUM"), (10, SLEEP, "MEDIUM")]),
        # A generic visit that does not descend stops below every node without a handler.
        ("def generic_visit(self, node):\n    if not isinstance(node, ast.Module):\n        return\n"
         "    super().generic_visit(node)\n", []),
    ],
)
def test_subclass_overrides(body, expected):
    ns = {"ast": ast, "N1": N1}
    exec("class Sub(PythonASTTracer):\n" + "".join("    " + ln + "\n" for ln in body.splitlines()),
         {"PythonASTTracer": PythonASTTracer, **ns}, ns)
    source = (FIXTURES / "loops.py").read_text()
    t = ns["Sub"]("f.py", source.splitlines())
    t.visit(ast.parse(source))
    assert summary(t.warnings) == expected


def test_subclass_visit_sees_every_node():
    class Count(PythonASTTracer):
        n = 0

        def visit(self, node):
            Count.n += 1
            return super().visit(node)

    source = (FIXTURES / "loops.py").read_text()
    tree = ast.parse(source)
    c = Count("f.py", source.splitlines())
    c.visit(tree)
    assert Count.n == sum(1 for _ in ast.walk(tree))
    assert summary(c.warnings) == summary(trace_fixture("loops.py"))


def test_handler_result_and_old_constant_handlers():
    class Old(PythonASTTracer):
        def visit_Num(self, node):
            self.nums = getattr(self, "nums", 0) + 1

        def visit_Name(self, node):
            return "seen"

    o = Old("f", [])
    with pytest.warns(DeprecationWarning):
        o.visit(ast.parse("x = 1 + 2"))
    assert o.nums == 2
    assert o.visit(ast.Name("x")) == "seen"
