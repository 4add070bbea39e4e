"""Receiver tracing of the Python loop rules, and their precision on the labelled sample."""

import collections
import json
import pathlib

import pytest

from tally_warden.hotspotter import Hotspotter

SAMPLE = pathlib.Path(__file__).parent / "fixtures" / "hotspotter" / "precision"
HELD_OUT = "awswrangler"
LOOP_TYPES = {"API_CALL_IN_LOOP", "N_PLUS_1_QUERY", "LARGE_DATA_LOAD_IN_LOOP"}
API, DATA, N1 = "API_CALL_IN_LOOP", "LARGE_DATA_LOAD_IN_LOOP", "N_PLUS_1_QUERY"


def loop_findings(tmp_path, source):
    p = tmp_path / "m.py"
    p.write_text(source)
    return [(f["line"], f["type"], f["severity"]) for f in Hotspotter.trace_python_file(str(p))
            if f["type"] in LOOP_TYPES]


@pytest.mark.parametrize(
    "source, expected",
    [
        # Aliases and from-imports of HTTP libraries: their module functions do I/O.
        ("import requests as rq\nfor u in us:\n    rq.get(u)\n", [(3, API, "MEDIUM")]),
        ("from requests import get\nfor u in us:\n    get(u)\n", [(3, API, "MEDIUM")]),
        ("from urllib.request import urlopen\nfor u in us:\n    for v in u:\n        urlopen(v)\n",
         [(4, API, "HIGH")]),
        # Clients made by a cloud SDK, stored on self in another method.
        ("import boto3\nclass C:\n    def __init__(self):\n        self.s3 = boto3.client('s3')\n"
         "    def run(self, keys):\n        for k in keys:\n            self.s3.get_object(Key=k)\n",
         [(7, API, "MEDIUM")]),
        ("from google.cloud import storage\nc = storage.Client()\nb = c.bucket('x')\n"
         "for n in names:\n    b.blob(n).upload_from_string(d)\n", [(5, API, "MEDIUM")]),
        # Methods of a client that do no request, and SDK helpers, are not calls that do I/O.
        ("import boto3\ns3 = boto3.client('s3')\nfor k in ks:\n    s3.generate_presigned_url(k)\n", []),
        ("import boto3.dynamodb.types as t\nd = t.TypeDeserializer()\nfor v in vs:\n    d.deserialize(v)\n", []),
        # The result of a request is data, not a client.
        ("import requests\nr = requests.get(u)\nfor k in ks:\n    r.json().get(k)\n", []),
        # Databases: sessions, cursors, Django managers; query builders are no queries.
        ("from sqlalchemy.orm import sessionmaker\nSession = sessionmaker()\ns = Session()\n"
         "for i in ids:\n    s.query(User).filter(User.id == i).first()\n", [(5, N1, "HIGH")]),
        ("import sqlite3\ncon = sqlite3.connect(p)\ncur = con.cursor()\nfor q in qs:\n    cur.execute(q)\n",
         [(5, N1, "HIGH")]),
        ("import sqlalchemy as sa\nfor c in cols:\n    q = sa.select(c).where(c > 1)\n", []),
        ("for i in ids:\n    User.objects.get(pk=i)\n", [(2, N1, "HIGH")]),
        ("import redis\nr = redis.Redis()\nfor k in keys:\n    r.get(k)\n", [(4, N1, "HIGH")]),
        ("def f(con: 'pg8000.Connection'):\n    import pg8000\n    for q in qs:\n        con.run(q)\n", []),
        ("import pg8000\ndef f(con: pg8000.Connection):\n    for q in qs:\n        con.run(q)\n",
         [(4, N1, "HIGH")]),
        # Names alone: at most LOW; string, list, dict and builtin methods never.
        ("for x in xs:\n    n = line.find('=')\n    ys = filter(f, xs)\n    ''.join(x).find(y)\n", []),
        ("for x in xs:\n    cursor.execute(x)\n    session.query(x)\n    db.users.find(x)\n",
         [(2, N1, "LOW"), (3, N1, "LOW"), (4, N1, "LOW")]),
        ("for x in xs:\n    s3_client.put_object(Key=x)\n", [(2, API, "LOW")]),
        ("import sqlite3\ncur = sqlite3.connect(p).cursor()\ncur = 'a'\nfor x in xs:\n    cur.execute(x)\n", []),
        # A rebinding ends the traced origin.
        ("import requests\nrequests = {}\nfor u in us:\n    requests.get(u)\n", []),
        # Whole-document loads of traced modules; decoding text already in memory is none.
        ("import json\nfor p in ps:\n    with open(p) as f:\n        json.load(f)\n    json.loads(p)\n",
         [(4, DATA, "HIGH")]),
        ("for p in ps:\n    pd.read_csv(p)\n", [(2, DATA, "LOW")]),
        # What runs once per loop (its iterable, its else part) is outside the loop.
        ("import requests\nfor r in requests.get(u).json():\n    pass\nelse:\n    requests.get(v)\n", []),
        ("import sqlite3\ncon = sqlite3.connect(p)\nrows = [r for r in con.execute(q)]\n", []),
        ("import requests\nfor a in aa:\n    for r in requests.get(a).json():\n        pass\n",
         [(3, API, "MEDIUM")]),
    ],
)
def test_receiver_tracing(tmp_path, source, expected):
    assert loop_findings(tmp_path, source) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("for (const u of us) {\n  await fetch(u);\n  this.fetch(u);\n}\n", [(2, "MEDIUM"), (3, "LOW")]),
        ("import axios from 'axios';\nfor (const u of us) {\n  await axios.get(u);\n}\n", [(3, "MEDIUM")]),
        ("for (const u of us) {\n  await axios.get(u);\n}\n", [(2, "LOW")]),
        ("const { S3Client } = require('@aws-sdk/client-s3');\nconst s3 = new S3Client({});\n"
         "for (const k of keys) {\n  await s3.send(cmd(k));\n  res.send(k);\n}\n", [(4, "MEDIUM"), (5, "LOW")]),
        ("import { PrismaClient } from '@prisma/client'\nconst prisma = new PrismaClient()\n"
         "ids.forEach(async (id) => {\n  await prisma.user.findUnique({ where: { id } })\n})\n",
         [(4, "MEDIUM")]),
        ("import lodash from 'lodash';\nfor (const u of us) {\n  lodash.get(u);\n}\n", []),
    ],
)
def test_js_tracing(tmp_path, source, expected):
    p = tmp_path / "m.ts"
    p.write_text(source)
    assert [(f["line"], f["severity"]) for f in Hotspotter.trace_js_file(str(p))
            if f["type"] == "API_CALL_IN_LOOP"] == expected


def sample_findings():
    found = collections.defaultdict(list)
    for project in sorted(p for p in SAMPLE.iterdir() if p.is_dir()):
        for f in Hotspotter.trace_directory(str(project)):
            if f["type"] in LOOP_TYPES:
                rel = pathlib.Path(f["file"]).relative_to(project).as_posix()
                found[(project.name, rel, f["line"])].append(f)
    return found


def test_precision_and_recall_on_the_labelled_sample():
    labels = json.loads((SAMPLE / "labels.json").read_text())
    assert len(labels) >= 150 and len({l["project"] for l in labels}) >= 3
    truth = collections.defaultdict(bool)  # a line is true when a finding on it is
    for l in labels:
        truth[(l["project"], l["file"], l["line"])] |= l["true"]
    found = sample_findings()
    for project in {l["project"] for l in labels}:
        true_lines = [k for k, v in truth.items() if v and k[0] == project]
        reported = [k for k in true_lines if k in found]
        assert len(reported) >= 0.9 * len(true_lines), (project, set(true_lines) - set(reported))
    high = [k for k, fs in found.items() if k[0] == HELD_OUT for f in fs if f["severity"] == "HIGH"]
    unlabelled = [k for k in high if k not in truth]
    assert not unlabelled
    assert sum(truth[k] for k in high) >= 0.9 * len(high)
    # Every HIGH finding of the whole sample is true.
    assert [k for k, fs in found.items() for f in fs if f["severity"] == "HIGH" and not truth.get(k)] == []
