import http.server
import json
import pathlib
import shutil
import socket
import sqlite3
import threading
import urllib.parse

import pytest

from tally_warden import prices
from tally_warden.ratebook import Ratebook

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "prices"
COLUMNS = ("TermType,Unit,PricePerUnit,Currency,Product Family,Instance Type,Region Code,"
           "Database Engine,Deployment Option,Cache Engine")


def empty_offer(offer):
    meta = [("FormatVersion", "v1.0"), ("Disclaimer", "-"), ("Publication Date", "2026-07-20T13:00:00Z"),
            ("Version", "20260720130000"), ("OfferCode", offer)]
    return "".join(f'"{k}","{v}"\n' for k, v in meta) + COLUMNS + "\n"


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        self.server.seen.append(self.path)
        body, status = None, 200
        if url.path in self.server.failing:
            status = 500
        elif url.path == "/offers/v1.0/aws/AmazonEC2/current/us-east-1/index.csv":
            body = self.server.ec2
        elif url.path in ("/offers/v1.0/aws/AmazonRDS/current/us-east-1/index.csv",
                          "/offers/v1.0/aws/AmazonElastiCache/current/us-east-1/index.csv"):
            body = empty_offer(url.path.split("/")[4])
        elif url.path == "/api/retail/prices":
            body = (json.dumps({"Items": [], "NextPageLink": None}) if "$skip" in query
                    else self.server.azure_page)
        elif url.path == "/v1/services/6F81-5844-456A/skus":
            if query.get("key") != ["test-key"]:
                status = 403
            body = (FIXTURES / "gcp_billing_skus.json").read_text()
        else:
            status = 404
        self.send_response(status)
        self.end_headers()
        if status == 200:
            self.wfile.write(body.encode())

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    srv.seen, srv.failing = [], set()
    srv.azure_page = (FIXTURES / "azure_retail_vms.json").read_text()
    srv.ec2 = (FIXTURES / "AmazonEC2.csv").read_text()
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    srv.url = f"http://127.0.0.1:{srv.server_address[1]}"
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture(scope="module")
def seeded(tmp_path_factory):
    path = tmp_path_factory.mktemp("seeded") / "pricing.db"
    Ratebook(str(path))
    return path


@pytest.fixture
def db(seeded, tmp_path):
    path = tmp_path / "pricing.db"
    shutil.copy(seeded, path)
    return path


def table(path):
    with sqlite3.connect(path) as conn:
        return conn.execute("SELECT * FROM pricing ORDER BY provider, resource_type, item_key, region").fetchall()


def origin(path, provider, rtype, item, region):
    with sqlite3.connect(path) as conn:
        return conn.execute("SELECT price_per_hour, source, source_date FROM pricing WHERE provider = ? AND "
                            "resource_type = ? AND item_key = ? AND region = ?",
                            (provider, rtype, item, region)).fetchone()


def run(capsys, *argv):
    code = prices.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


FETCHED = [
    ("aws", "us-east-1", ("aws", "aws_instance", "r7g.2xlarge", "us-east-1"), 0.4284, "AmazonEC2", "2026-07-20"),
    ("azure", "eastus", ("azure", "azurerm_windows_virtual_machine", "Standard_D2s_v5", "eastus"), 0.188,
     "Azure Retail Prices", "2026-06-01"),
    ("google", "us-central1", ("google", "google_compute_instance", "n2-standard-2", "us-central1"), 0.097118,
     "Cloud Billing Catalog", "2026-07-01"),
]


@pytest.mark.parametrize("provider,region,key,price,source,date", FETCHED)
def test_fetch_writes_prices_with_their_origin(capsys, monkeypatch, server, db, provider, region, key, price,
                                               source, date):
    monkeypatch.setenv(prices.GOOGLE_KEY_ENV, "test-key")
    code, out, err = run(capsys, "--db", db, "fetch", "--base-url", server.url, "--provider", provider,
                    "--region", region)
    assert code == 0, out
    assert out.startswith("Prices refreshed: ")
    assert origin(db, *key) == (pytest.approx(price), source, date)
    # Rows of other regions in the same file are not the ones asked for.
    assert (origin(db, "aws", "aws_instance", "m5.large", "sa-east-1") or (0, None))[1] != "AmazonEC2"
    # The same fetch again changes nothing.
    code, out, err = run(capsys, "--db", db, "fetch", "--base-url", server.url, "--provider", provider,
                    "--region", region)
    assert code == 0 and "0 added, 0 changed, 0 dropped" in out


def test_fetch_follows_azure_pages_to_the_given_server(capsys, server, db):
    code, _, _ = run(capsys, "--db", db, "fetch", "--base-url", server.url, "--provider", "azure", "--region", "eastus")
    assert code == 0
    assert any("$skip=100" in urllib.parse.unquote(p) for p in server.seen)


def test_diff_names_changes_and_writes_nothing(capsys, server, db):
    server.ec2 = server.ec2.replace('"0.4284000000"', '"0.5000000000"')
    before = table(db)
    code, out, err = run(capsys, "--db", db, "diff", "--base-url", server.url, "--provider", "aws",
                    "--region", "us-east-1")
    assert code == 0
    assert table(db) == before
    assert "~ aws aws_instance r7g.2xlarge [us-east-1] 0.4284 -> 0.5/hour" in out
    assert out.splitlines()[-1].startswith("A refresh would write: ")


def test_import_detects_formats_and_drops_what_a_source_no_longer_lists(capsys, db, tmp_path):
    files = sorted(FIXTURES.glob("*.[cj]s*"))
    code, out, err = run(capsys, "--db", db, "import", *files)
    assert code == 0, out
    assert origin(db, "aws", "aws_instance", "m5.large", "sa-east-1") == (0.153, "AmazonEC2", "2026-07-20")
    assert origin(db, "azure", "azurerm_linux_virtual_machine", "Standard_D2s_v5", "brazilsouth")[1:] == \
        ("Azure Retail Prices", "2026-06-01")
    # A later page without the brazilsouth Linux row drops the rows that page wrote before.
    page = json.loads((FIXTURES / "azure_retail_vms.json").read_text())
    page["Items"] = [i for i in page["Items"]
                     if not (i.get("armRegionName") == "brazilsouth" and i.get("type") == "Consumption")]
    page["Items"].append({**next(i for i in page["Items"] if i.get("armRegionName") == "eastus"),
                          "armRegionName": "brazilsouth", "armSkuName": "Standard_D4s_v5", "retailPrice": 0.306})
    newer = tmp_path / "page.json"
    newer.write_text(json.dumps(page))
    code, out, err = run(capsys, "--db", db, "diff", newer)
    assert "- azure azurerm_linux_virtual_machine Standard_D2s_v5 [brazilsouth] 0.153/hour" in out
    code, out, err = run(capsys, "--db", db, "import", newer)
    assert code == 0
    assert "dropped" in out and origin(db, "azure", "azurerm_linux_virtual_machine", "Standard_D2s_v5",
                                       "brazilsouth") is None
    assert origin(db, "azure", "azurerm_virtual_machine", "Standard_D4s_v5", "brazilsouth")[0] == 0.306


@pytest.mark.parametrize("command", ["fetch", "import"])
def test_user_rows_are_kept(capsys, server, db, command):
    Ratebook(str(db)).update_pricing_rate("aws", "aws_instance", "m5.large", {"price_per_hour": 1.5}, "us-east-1")
    args = ["fetch", "--base-url", server.url, "--provider", "aws", "--region", "us-east-1"] \
        if command == "fetch" else ["import", FIXTURES / "AmazonEC2.csv"]
    code, out, err = run(capsys, "--db", db, *args)
    assert code == 0
    assert "1 of your rows kept" in out
    assert origin(db, "aws", "aws_instance", "m5.large", "us-east-1")[:2] == (1.5, "user")


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("how", ["server error", "no server", "not a price list"])
def test_failed_download_changes_nothing(capsys, server, db, how):
    base = server.url
    if how == "server error":
        # Fails after the EC2 file was read: nothing of it is written either.
        server.failing.add("/offers/v1.0/aws/AmazonElastiCache/current/us-east-1/index.csv")
    elif how == "no server":
        base = f"http://127.0.0.1:{closed_port()}"
    else:
        server.azure_page = "<html>maintenance</html>"
    before = table(db)
    provider, region = ("azure", "eastus") if how == "not a price list" else ("aws", "us-east-1")
    code, out, err = run(capsys, "--db", db, "fetch", "--base-url", base, "--provider", provider, "--region", region)
    assert code == 1
    assert out == "" and len(err.splitlines()) == 1 and err.startswith("Error: ")
    assert table(db) == before


def test_google_needs_a_key_and_never_prints_it(capsys, monkeypatch, server, db):
    monkeypatch.delenv(prices.GOOGLE_KEY_ENV, raising=False)
    code, out, err = run(capsys, "--db", db, "fetch", "--base-url", server.url, "--provider", "google")
    assert code == 1 and prices.GOOGLE_KEY_ENV in err
    monkeypatch.setenv(prices.GOOGLE_KEY_ENV, "wrong-secret")
    code, out, err = run(capsys, "--db", db, "fetch", "--base-url", server.url, "--provider", "google",
                    "--region", "us-central1")
    assert code == 1 and "HTTP 403" in err and "wrong-secret" not in out + err


def test_show_prints_rows_with_their_origin(capsys, db):
    run(capsys, "--db", db, "import", FIXTURES / "AmazonEC2.csv")
    code, out, err = run(capsys, "--db", db, "show", "aws_instance", "m5.large", "--region", "sa-east-1")
    assert code == 0
    assert out == "aws_instance m5.large [sa-east-1] price_per_hour 0.153 USD (AmazonEC2 2026-07-20)\n"
    code, out, err = run(capsys, "--db", db, "show", "aws_instance", "m5.large", "--region", "ap-east-2")
    assert code == 0
    assert out == ("No ap-east-2 row; the estimator uses the us-east-1 row:\n"
                   "aws_instance m5.large [us-east-1] price_per_hour 0.096 USD (AmazonEC2 2026-07-20)\n")
    code, out, err = run(capsys, "--db", db, "show", "aws_instance", "no.such")
    assert code == 1 and out == "" and err.startswith("Error: ")


@pytest.mark.parametrize("region, user_row, mark", [
    ("ap-south-1", False, " (shipped) (derived)"),  # carried from us-east-1 by the m5 premium
    ("us-east-1", False, " (shipped)"),
    ("ap-south-1", True, " (user {today})"),
])
def test_show_marks_derived_shipped_rows(capsys, db, region, user_row, mark):
    if user_row:
        Ratebook(str(db)).update_pricing_rate("aws", "aws_instance", "m5.large", {"price_per_hour": 0.1}, region)
        # The day the row was written, not the day the tests were collected.
        mark = mark.format(today=prices._today())
    code, out, err = run(capsys, "--db", db, "show", "aws_instance", "m5.large", "--region", region)
    assert code == 0 and out.startswith(f"aws_instance m5.large [{region}] price_per_hour ")
    assert out.endswith(" USD" + mark + "\n"), out


def test_show_creates_no_database(capsys, tmp_path):
    missing = tmp_path / "no-such-dir" / "pricing.db"
    code, out, err = run(capsys, "--db", missing, "show", "aws_instance", "m5.large")
    assert (code, out) == (1, "") and err == f"Error: no price database at {missing}\n"
    assert not missing.parent.exists()
