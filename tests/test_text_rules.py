"""The native text rules against the host's own str, int, float, repr, round and format."""
import math
import os
import pathlib
import random
import struct
import subprocess

import pytest

BINARY = pathlib.Path(__file__).resolve().parent.parent / "build" / "sanitize" / "tw_core_tests"

pytestmark = pytest.mark.skipif(not BINARY.exists(), reason="C++ tests not built (scripts/dev test builds them)")

ALPHABET = (list("abcXYZ019 _.-+eE") + ["\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x85", "\xa0", "\u2028",
            "\u3000", "\u200b", "\u0660", "\u0669", "\uff11", "\u0130", "\u00c4", "\u03a3", "\u1e9e", "I",
            # around a final sigma: case-ignorable, cased and case-ignorable, cased only, neither
            "'", ":", "\u0301", "\u00ad", "\u02b0", "\u00aa", "\u00d7", "\u2160", "\u03a3", "\u03a3"])


def serve(requests):
    lines = "".join(f"{op} {arg.hex()}\n" for op, arg in requests)
    res = subprocess.run([str(BINARY), "--serve"], input=lines, capture_output=True, text=True, check=True)
    return [bytes.fromhex(x).decode("utf-8", "surrogatepass") for x in res.stdout.splitlines()]


def host_int(s):
    try:
        return str(int(s))
    except ValueError:
        return "ValueError"


def host_float(s):
    try:
        return repr(float(s))
    except ValueError:
        return "ValueError"


def random_texts(rng, n):
    out = []
    for _ in range(n):
        out.append("".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 8))))
    numbers = ["1_000", "_1", "1__0", "+0", "-00", "١٢٣", "１２", "1e5", "1.", ".5", "1_0.2_5e1_0", "inf", "-Infinity",
               "nAn", "1e400", "-1e-400", "9" * 30, "0x10", "1.2.3", " 7 ", "\u3000-3\u3000", "", "e5", "5e"]
    return out + numbers


@pytest.mark.parametrize("op, host", [
    ("strip", str.strip), ("lower", str.lower),
    ("splitlines", lambda s: "".join(p + "\x00" for p in s.splitlines())),
    ("int", host_int), ("float", host_float),
])
def test_text_operations_match_host(op, host):
    rng = random.Random(1234 + len(op))
    texts = random_texts(rng, 3000) + ["A\u03a3\u00d7", "A\u0301\u03a3", "A\u03a3\u0301", "A\u03a3\u0301B",
                                       "\u02b0\u03a3", "A\u02b0\u03a3", "\u00aa\u03a3", "A.\u03a3.B", "\u03a3"]
    got = serve([(op, t.encode()) for t in texts])
    want = [host(t) for t in texts]
    mismatches = [(t, g, w) for t, g, w in zip(texts, got, want) if g != w]
    assert mismatches == []


def random_doubles(rng, n):
    vals = [0.0, -0.0, 0.5, 2.5, 0.125, 2.675, 1e16, 1e15, 5e-5, 1e-4, 123456.789, 1e300, -1234.5, 0.005, 1.005,
            999.995, math.inf, -math.inf]
    for _ in range(n):
        kind = rng.random()
        if kind < 0.3:
            vals.append(round(rng.uniform(-1e4, 1e4), rng.randint(0, 6)))
        elif kind < 0.6:
            vals.append(rng.randint(-10**6, 10**6) / 1000 + 0.005)
        else:
            vals.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
    return [v for v in vals if not math.isnan(v)]


@pytest.mark.parametrize("op, host", [
    ("repr", repr),
    ("round2", lambda d: repr(round(d, 2))),
    ("grouped", lambda d: format(d, ",.0f")),
    ("fixed0", lambda d: format(d, ".0f")),
    ("fixed1", lambda d: format(d, ".1f")),
    ("fixed2", lambda d: format(d, ".2f")),
    ("fixed4", lambda d: format(d, ".4f")),
    ("fixed6", lambda d: format(d, ".6f")),
])
def test_number_rendering_matches_host(op, host):
    rng = random.Random(99 + len(op))
    doubles = random_doubles(rng, 3000)
    if op == "round2":
        doubles = [d for d in doubles if abs(d) < 1e300]
    got = serve([(op, struct.pack("<d", d)) for d in doubles])
    want = [host(d) for d in doubles]
    mismatches = [(d, g, w) for d, g, w in zip(doubles, got, want) if g != w]
    assert mismatches == []
