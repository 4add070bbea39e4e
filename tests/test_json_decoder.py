"""The native JSON decoder against the host's json module."""

import json
import random

import pytest

from tally_warden.stackreader import StackReader


class Capture(StackReader):
    """Hands back the decoded document of a template-shaped file."""

    @classmethod
    def parse_cloudformation_data(cls, data):
        return [data]


def decode(tmp_path, text, name="doc.json"):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text)
    return Capture.parse_json_file(str(path))


def same(a, b):
    # json.dumps tells ints from floats, keeps key order and escapes lone surrogates.
    return type(a) is type(b) and json.dumps(a) == json.dumps(b)


def random_text(rng):
    pieces = []
    for _ in range(rng.randrange(0, 8)):
        k = rng.random()
        if k < 0.4:
            pieces.append(rng.choice(["a", "Z", " ", "é", "✓", "😀", "\u2028", "\x7f", "/"]))
        elif k < 0.8:
            pieces.append(rng.choice(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9",
                                      "\\u0000", "\\uD83D\\uDE00", "\\ud800", "\\udc00x", "\\uDBFF\\u0041"]))
        else:
            pieces.append(chr(rng.randrange(0x20, 0x2FFF)).replace('"', "q").replace("\\", "b"))
    return '"' + "".join(p for p in pieces if not ("\ud800" <= p <= "\udfff")) + '"'


def random_number(rng):
    return rng.choice([
        str(rng.randrange(-10**6, 10**6)),
        str(rng.randrange(2**63 - 5, 2**64 + 5)),
        str(-rng.randrange(2**63 - 5, 2**63 + 5)),
        str(rng.randrange(10**30, 10**40)),
        "-0", "0", "-0.0", "0.0", "1e400", "-1e400", "1e-400", "2.5E+3", "7e-3", "123.456e2",
        repr(rng.uniform(-1e300, 1e300)), repr(rng.random()), "1.7976931348623157e308", "5e-324",
    ])


def random_doc(rng, depth=0):
    k = rng.random()
    if depth > 6 or k < 0.35:
        return rng.choice([random_text, random_number, lambda r: r.choice(["true", "false", "null"])])(rng)
    ws = lambda: rng.choice(["", " ", "\n", "\t", "\r\n  "])  # noqa: E731
    if k < 0.65:
        items = [random_doc(rng, depth + 1) for _ in range(rng.randrange(0, 5))]
        return "[" + ws() + ("," + ws()).join(items) + ws() + "]"
    keys = [random_text(rng) for _ in range(rng.randrange(0, 5))]
    if keys and rng.random() < 0.3:
        keys.append(rng.choice(keys))  # a repeated key
    return "{" + ",".join(f"{ws()}{key}{ws()}:{ws()}{random_doc(rng, depth + 1)}" for key in keys) + ws() + "}"


@pytest.mark.parametrize("seed", range(40))
def test_differential(tmp_path, seed):
    rng = random.Random(seed)
    for i in range(25):
        body = random_doc(rng)
        text = '{"Resources": %s}' % body
        expected = json.loads(text)
        got = decode(tmp_path, text, f"d{i}.json")
        assert len(got) == 1 and same(got[0], expected), text


@pytest.mark.parametrize(
    "text",
    [
        "", "  ", "{", "[1,]", '{"a":1,}', "01", "[1.]", "[.5]", "[+1]", "[1 2]", '{"a" 1}', "{1:2}", '"abc',
        '"a\x01"', '"\\x"', '"\\u12"', '"\\uZZZZ"', '"\\ud800\\uzzzz"', "[1] x", "[tru]", "nul", "[-]",
        '{"a": [1, {"b": }]}', "[1,\n 2,\n ]", "\x0c[1]", "[1]\x00", "[\"\t\"]", '"é\\q"', "1" * 5000,
        "[" + "1" * 4301 + "]", "-" + "2" * 4400,
    ],
)
def test_error_texts_match_the_host(tmp_path, capsys, text):
    path = tmp_path / "bad.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as err:
        json.loads(text)
    assert StackReader.parse_json_file(str(path)) == []
    assert capsys.readouterr().out == f"Error reading JSON file {path}: {err.value}\n"


@pytest.mark.parametrize("literal", ["NaN", "Infinity", "-Infinity", '{"a": NaN}'])
def test_non_standard_literals_are_invalid(tmp_path, capsys, literal):
    assert decode(tmp_path, '{"Resources": %s}' % literal) == []
    assert capsys.readouterr().out.startswith("Error reading JSON file ")


@pytest.mark.parametrize("tail", ["", ', "big": 123456789012345678901234567890'])
@pytest.mark.parametrize("opener, closer", [("[", "]"), ('{"a":', "}")])
def test_nesting_depth(tmp_path, capsys, opener, closer, tail):
    # Both decoders (the fast one, and the one taking integers beyond 64 bits) agree.
    for depth, ok in [(5000, True), (9999, True), (10001, False), (100000, False)]:
        text = '{"Resources": %s0%s%s}' % (opener * depth, closer * depth, tail)
        got = decode(tmp_path, text)
        out = capsys.readouterr().out
        if ok:
            assert len(got) == 1 and out == ""
        else:
            kind = "array" if opener == "[" else "object"
            assert got == [] and out.endswith(f": maximum recursion depth exceeded while decoding a JSON {kind} "
                                              "from a unicode string\n")


def test_numbers_and_keys(tmp_path):
    text = '{"Resources": {"b": -0, "a": -0.0, "b": 18446744073709551615, "c": [1E2, 1e-2, 123456789012345678901]}}'
    got = decode(tmp_path, text)[0]["Resources"]
    assert list(got) == ["b", "a", "c"]
    assert same(got, json.loads(text)["Resources"])
    text = '{"Resources": {"i": 9223372036854775807, "j": -9223372036854775808, "k": 9223372036854775808}}'
    assert same(decode(tmp_path, text)[0]["Resources"], json.loads(text)["Resources"])


def test_crlf_error_positions(tmp_path, capsys):
    text = '{\r\n"Resources":\r\n [1,,2]}'
    path = tmp_path / "crlf.json"
    path.write_bytes(text.encode())
    assert StackReader.parse_json_file(str(path)) == []
    with pytest.raises(ValueError) as err:
        json.loads(text.replace("\r\n", "\n"))
    assert capsys.readouterr().out.endswith(f": {err.value}\n")
