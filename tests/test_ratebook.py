import json
import os
import sqlite3
import subprocess
import sys

import pytest

from tally_warden.ratebook import Ratebook

from conftest import python_in

COLUMNS = ["provider", "resource_type", "item_key", "region", "price_per_hour", "price_per_million_requests",
           "price_per_gb_second", "price_per_gb_month", "price_per_gb_transfer", "price_per_request", "unit",
           "source", "source_date"]


def columns(path):
    with sqlite3.connect(path) as c:
        return [(r[1], r[5]) for r in c.execute("PRAGMA table_info(pricing)")]


def test_first_run_creates_directory_table_and_seeds(tmp_path):
    store = Ratebook(str(tmp_path / "new" / "dir" / "p.db"))
    assert [c for c, _ in columns(store.db_path)] == COLUMNS


def test_bare_file_name_opens_in_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Ratebook("bare.db")
    assert (tmp_path / "bare.db").exists()


OLD_LAYOUT = ("CREATE TABLE pricing (provider TEXT NOT NULL, resource_type TEXT NOT NULL, item_key TEXT NOT NULL, "
              "price_per_hour REAL DEFAULT 0.0, price_per_million_requests REAL DEFAULT 0.0, "
              "price_per_gb_second REAL DEFAULT 0.0, price_per_gb_month REAL DEFAULT 0.0, unit TEXT DEFAULT 'USD', "
              "PRIMARY KEY (provider, resource_type, item_key))")


def test_old_layout_is_migrated_and_rekeyed_keeping_rows(tmp_path):
    path = str(tmp_path / "old.db")
    with sqlite3.connect(path) as c:
        c.execute(OLD_LAYOUT)
        c.execute("INSERT INTO pricing (provider, resource_type, item_key, price_per_hour) "
                  "VALUES ('x', 'x_thing', 'small', 0.5)")
    store = Ratebook(path)
    cols = columns(path)
    assert [c for c, _ in cols] == COLUMNS
    assert [c for c, pk in cols if pk] == ["provider", "resource_type", "item_key", "region"]
    assert store.get_pricing_rate("x", "x_thing", "small") == {
        "price_per_hour": 0.5, "price_per_million_requests": 0.0, "price_per_gb_second": 0.0,
        "price_per_gb_month": 0.0, "price_per_gb_transfer": 0.0, "price_per_request": 0.0, "unit": "USD"}
    # Regional rows of one item now coexist.
    store.update_pricing_rate("x", "x_thing", "small", {"price_per_hour": 1.0}, "r1")
    store.update_pricing_rate("x", "x_thing", "small", {"price_per_hour": 2.0}, "r2")
    assert [store.get_pricing_rate("x", "x_thing", "small", r)["price_per_hour"] for r in ("r1", "r2", "global")] \
        == [1.0, 2.0, 0.5]
    Ratebook(path)
    assert [c for c, _ in columns(path)] == COLUMNS


def test_private_operations_accept_host_connections(tmp_path):
    store = Ratebook(str(tmp_path / "p.db"))
    conn = sqlite3.connect(store.db_path)
    store._migrate_schema(conn)
    store._seed_from_json(conn)
    store._upsert_items(conn.cursor(), "p", "t", "r", {"a": {"price_per_hour": 0.1}, "b": {"unit": "EUR"},
                                                       "c": {"price_per_hour": None}})
    conn.commit()
    rows = conn.execute("SELECT item_key, price_per_hour, unit FROM pricing WHERE provider = 'p' "
                        "ORDER BY item_key").fetchall()
    assert rows == [("a", 0.1, "USD"), ("b", 0.0, "EUR"), ("c", None, "USD")]
    assert store.get_pricing_rate("p", "t", "c", "r")["price_per_hour"] is None


@pytest.fixture
def store(tmp_path):
    s = Ratebook(str(tmp_path / "p.db"))
    with sqlite3.connect(s.db_path) as c:
        c.execute("DELETE FROM pricing")
    return s


@pytest.mark.parametrize(
    "stored, provider, region, found",
    [
        ([("global", 1.0)], "aws", "eu-west-1", 1.0),
        ([("us-east-1", 2.0)], "aws", "eu-west-1", 2.0),
        ([("us-east-1", 2.0)], "aws", "global", 2.0),
        ([("us-east-1", 2.0)], "aws", "US-EAST-1", 2.0),
        ([("eu-west-1", 3.0)], "aws", "eu-west-2", None),
        ([("eu-west-1", 3.0), ("global", 1.0)], "aws", "eu-west-1", 3.0),
        ([("eastus2", 4.0)], "azure", "East US 2", 4.0),
        ([("westeurope", 5.0)], "azure", "West  Europe", 5.0),
        ([("us-central1", 6.0)], "google", "", 6.0),
    ],
)
def test_lookup_cascade(store, stored, provider, region, found):
    for reg, price in stored:
        store.update_pricing_rate(provider, "t", "k", {"price_per_hour": price}, reg)
    row = store.get_pricing_rate(provider, "t", "k", region)
    assert (row["price_per_hour"] if row else None) == found


def test_update_stores_normalised_azure_region(store):
    store.update_pricing_rate("azure", "t", "k", {"price_per_hour": 1.0}, "East US")
    assert store.get_pricing_rate("azure", "t", "k", "East US")["price_per_hour"] == 1.0
    assert store.list_regions("azure") == ["eastus"]


def test_listings(store):
    assert store.list_regions() == [] and store.get_pricing_rate("aws", "t", "k") == {}
    store.update_pricing_rate("b", "t2", "k", {})
    store.update_pricing_rate("a", "t1", "k", {}, "zz")
    assert store.list_regions() == ["global", "zz"]
    assert store.list_regions("") == ["global", "zz"]
    assert store.list_regions("a") == ["zz"]
    assert store.list_resource_types() == ["t1", "t2"]


def write_list(data_dir, content):
    (data_dir / "pricing_db.json").write_text(content if isinstance(content, str) else json.dumps(content))


SEED_AND_DUMP = """
import sqlite3, sys
from tally_warden.ratebook import Ratebook
try:
    s = Ratebook(sys.argv[1] if len(sys.argv) > 1 else 'p.db')
except Exception as e:
    print('raised', type(e).__name__)
rows = sqlite3.connect('p.db').execute('SELECT provider, resource_type, item_key, region, price_per_hour, unit '
                                     'FROM pricing ORDER BY 1, 2, 3, 4').fetchall()
print(rows)
"""


@pytest.mark.parametrize(
    "content, expected",
    [
        ({"aws": {"aws_instance": {"t3.micro": {"price_per_hour": 0.0104}}}},
         "[('aws', 'aws_instance', 't3.micro', 'global', 0.0104, 'USD')]"),
        ({"azure": {"vm": {"eastus": {"B2s": {"price_per_hour": 0.05}}}}},
         "[('azure', 'vm', 'B2s', 'eastus', 0.05, 'USD')]"),
        ({"g": {"only_unit": {"x": {"unit": "EUR"}}}}, "[('g', 'only_unit', 'x', 'global', 0.0, 'EUR')]"),
        ({"g": {"empty": {}}}, "[]"),
    ],
)
def test_seeding_forms(private_package, tmp_path, content, expected):
    site, data = private_package
    write_list(data, content)
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert out.stdout.strip() == expected, out.stderr


@pytest.mark.parametrize(
    "content, line",
    [
        ("not json", "Warning: Could not read pricing_db.json to seed SQLite: "),
        (b"\xff", "Warning: Could not read pricing_db.json to seed SQLite: 'utf-8' codec can't decode"),
    ],
)
def test_unreadable_price_list_warns_and_keeps_rows(private_package, tmp_path, content, line):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    path = data / "pricing_db.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert out.stdout.startswith(line), out.stdout + out.stderr
    assert "('aws', 'a', 'k', 'global', 1.0, 'USD')" in out.stdout


@pytest.mark.parametrize(
    "content",
    [[1, 2], {"aws": [1]}, {"aws": {"t": [1]}}, {"aws": {"t": {"k": {"price_per_hour": 1}, "k2": 5}}}],
)
def test_wrong_shape_warns_and_writes_nothing(private_package, tmp_path, content):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 2}}}, "bad": content})
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    first, rows = out.stdout.splitlines()
    assert first.startswith("Warning: Could not read pricing_db.json to seed SQLite: "), out.stdout + out.stderr
    assert "object has no attribute" in first
    assert rows == "[('aws', 'a', 'k', 'global', 1.0, 'USD')]"


@pytest.mark.parametrize(
    "price, shown",
    [('"cheap"', "'cheap'"), ("-0.5", "-0.5"), ("-3", "-3"), ("1e999", "inf"), ("-1e999", "-inf"),
     ("true", "True"), ("[1]", "a list"), ("{}", "an object"), ("-" + "9" * 30, "-" + "9" * 30),
     ("1e308", "1e+308"), ("1" + "0" * 305, "1" + "0" * 305)],
)
def test_unusable_price_skips_that_item_only(private_package, tmp_path, price, shown):
    site, data = private_package
    write_list(data, '{"aws": {"a": {"bad": {"price_per_hour": %s}, "good": {"price_per_hour": 0.5}, '
                     '"none": {"price_per_hour": null}, "big": {"price_per_hour": %s}}}}' % (price, "9" * 30))
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    warning, rows = out.stdout.splitlines()
    assert warning.startswith("Warning: Skipped price entry aws / a / bad / global of pricing_db.json: "
                              f"price_per_hour is {shown} ("), out.stdout + out.stderr
    assert rows == ("[('aws', 'a', 'big', 'global', 1e+30, 'USD'), ('aws', 'a', 'good', 'global', 0.5, 'USD'), "
                    "('aws', 'a', 'none', 'global', None, 'USD')]")


def origins(path):
    with sqlite3.connect(path) as c:
        return c.execute("SELECT item_key, price_per_hour, source FROM pricing ORDER BY 1").fetchall()


def test_user_rates_win_over_the_shipped_list_until_deleted(private_package, tmp_path):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    python_in(site, SEED_AND_DUMP + """
s.update_pricing_rate('aws', 'a', 'k', {'price_per_hour': 9})
s.update_pricing_rate('aws', 'a', 'extra', {'price_per_hour': 3})
""", cwd=tmp_path)
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 2}, "extra": {"price_per_hour": 4},
                                    "new": {"price_per_hour": 5}}}})
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    db = tmp_path / "p.db"
    assert origins(db) == [("extra", 3.0, "user"), ("k", 9.0, "user"), ("new", 5.0, "shipped")], out.stderr
    with sqlite3.connect(db) as c:
        dates = c.execute("SELECT source_date FROM pricing WHERE source = 'user'").fetchall()
        assert all(len(d) == 10 and d[4] == "-" for (d,) in dates), dates
        c.execute("DELETE FROM pricing WHERE source = 'user' AND item_key = 'k'")
    python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert origins(db) == [("extra", 3.0, "user"), ("k", 2.0, "shipped"), ("new", 5.0, "shipped")]


# The table as earlier versions made it: no record of where a row came from.
UNSOURCED_LAYOUT = (
    "CREATE TABLE pricing (provider TEXT NOT NULL, resource_type TEXT NOT NULL, item_key TEXT NOT NULL, "
    "region TEXT NOT NULL DEFAULT 'global', price_per_hour REAL DEFAULT 0.0, price_per_million_requests REAL "
    "DEFAULT 0.0, price_per_gb_second REAL DEFAULT 0.0, price_per_gb_month REAL DEFAULT 0.0, "
    "price_per_gb_transfer REAL DEFAULT 0.0, price_per_request REAL DEFAULT 0.0, unit TEXT DEFAULT 'USD', "
    "PRIMARY KEY (provider, resource_type, item_key, region))")


def test_older_rows_count_as_shipped_when_the_list_holds_their_key(private_package, tmp_path):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    db = tmp_path / "p.db"
    with sqlite3.connect(db) as c:
        c.execute(UNSOURCED_LAYOUT)
        c.executemany("INSERT INTO pricing (provider, resource_type, item_key, price_per_hour) VALUES (?, ?, ?, ?)",
                      [("aws", "a", "k", 7), ("aws", "a", "mine", 8)])
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert [c for c, _ in columns(db)] == COLUMNS
    assert origins(db) == [("k", 1.0, "shipped"), ("mine", 8.0, "user")], out.stderr
    # Later lists that also hold the user's key leave it alone.
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}, "mine": {"price_per_hour": 2}}}})
    python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert origins(db) == [("k", 1.0, "shipped"), ("mine", 8.0, "user")]


@pytest.mark.parametrize("how", ["directory", "reckoner", "uncreatable"])
def test_chosen_path_that_cannot_be_used_is_named(tmp_path, monkeypatch, capsys, how):
    from tally_warden.reckoner import Reckoner

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    path, why = tmp_path / "dir.db", "it is a directory"
    if how == "uncreatable":
        path, why = tmp_path / "file" / "p.db", "it cannot be written"
        (tmp_path / "file").write_text("a file where a directory should be")
    else:
        path.mkdir()
    store = Reckoner(db_path=str(path)).db if how == "reckoner" else Ratebook(str(path))
    assert capsys.readouterr().out == (f"Warning: Cannot use {path} as the price database ({why}); "
                                       f"prices come from {store.db_path} instead.\n")
    assert store.db_path.startswith(str(tmp_path / "cache")) and store.list_resource_types()


@pytest.mark.skipif(bool(os.environ.get("TW_SANITIZED")), reason="the sanitizer's allocator keeps freed memory")
def test_in_memory_copies_end_with_their_store(private_package, tmp_path):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"not a database" * 100)
    # Each copy kept alive holds about 40 KB here (and megabytes with the shipped list).
    code = """
import gc, os, sys
from tally_warden.ratebook import Ratebook
def rss():
    return int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE')
for _ in range(5):
    Ratebook(sys.argv[1])
gc.collect()
start = rss()
for _ in range(1000):
    Ratebook(sys.argv[1])
gc.collect()
sys.stderr.write(str((rss() - start) >> 20))
"""
    out = python_in(site, code.replace("sys.argv[1]", repr(str(bad))), cwd=tmp_path)
    assert out.returncode == 0 and out.stdout.count("Warning:") == 1005, out.stderr
    assert int(out.stderr) < 12, f"{out.stderr} MB kept by 1000 dropped stores"


def test_not_a_database_is_left_alone_and_priced_in_memory(tmp_path, capsys):
    bad = tmp_path / "bad.db"
    content = b"this is not a database file at all" * 100
    bad.write_bytes(content)
    store = Ratebook(str(bad))
    out = capsys.readouterr().out
    assert out.startswith(f"Warning: {bad} is not a SQLite database;") and "remove the file to rebuild" in out
    assert out.count("\n") == 1 and bad.read_bytes() == content
    assert store.db_path != str(bad) and store.list_resource_types()
    with pytest.raises(sqlite3.OperationalError, match="in-memory copy"):
        store.update_pricing_rate("aws", "t", "k", {"price_per_hour": 1})


def test_locked_database_is_priced_in_memory(tmp_path, capsys):
    path = tmp_path / "locked.db"
    Ratebook(str(path))
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        store = Ratebook(str(path))
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    out = capsys.readouterr().out
    assert out == f"Warning: {path} is still locked by another process; prices come from an in-memory copy of " \
                  "pricing_db.json for this run.\n"
    assert store.list_resource_types()


def test_two_stores_constructed_at_once_both_finish(tmp_path):
    code = "from tally_warden.ratebook import Ratebook; import sys; Ratebook(sys.argv[1]); print('ok')"
    path = str(tmp_path / "shared.db")
    procs = [subprocess.Popen([sys.executable, "-P", "-c", code, path], stdout=subprocess.PIPE, text=True)
             for _ in range(4)]
    assert [p.communicate(timeout=60)[0].strip() for p in procs] == ["ok"] * 4
    with sqlite3.connect(path) as c:
        assert c.execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_rows_changed_behind_the_store_are_seeded_again(private_package, tmp_path):
    site, data = private_package
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 1}}}})
    python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    with sqlite3.connect(tmp_path / "p.db") as c:
        c.execute("UPDATE pricing SET price_per_hour = 5 WHERE item_key = 'k'")
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert "('aws', 'a', 'k', 'global', 1.0, 'USD')" in out.stdout, out.stderr
    write_list(data, {"aws": {"a": {"k": {"price_per_hour": 2}}}})
    out = python_in(site, SEED_AND_DUMP, cwd=tmp_path)
    assert "('aws', 'a', 'k', 'global', 2.0, 'USD')" in out.stdout, out.stderr
