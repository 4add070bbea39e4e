"""tally-warden-prices: refresh the local price store from the providers' own price lists.

    tally-warden-prices [--db PATH] import FILE...
    tally-warden-prices [--db PATH] fetch [--provider P] [--region R] [--base-url URL]
    tally-warden-prices [--db PATH] diff [FILE...] [--provider P] [--region R] [--base-url URL]
    tally-warden-prices [--db PATH] show TYPE KEY [--region R]
"""
import argparse
import datetime
import http.client
import json
import os
import sqlite3
import sys
import urllib.error
import urllib.parse
import urllib.request

from tally_warden import price_formats as pf

GOOGLE_KEY_ENV = "TALLY_WARDEN_GOOGLE_API_KEY"
AWS_URL = "https://pricing.us-east-1.amazonaws.com"
AZURE_URL = "https://prices.azure.com"
GOOGLE_URL = "https://cloudbilling.googleapis.com"
COMPUTE_ENGINE = "6F81-5844-456A"  # the Cloud Billing Catalog's service id of Compute Engine
MAX_PAGES = 2000
TIMEOUT = 60
PROVIDERS = ("aws", "azure", "google")
PREFIXES = {"aws_": "aws", "azurerm_": "azure", "google_": "google"}
SHIPPED = "shipped"  # the store's origin of rows seeded from the shipped list
DEFAULT_REGIONS = {"aws": "us-east-1", "azure": "eastus", "google": "us-central1"}
PRICE_KEYS = ("price_per_hour", "price_per_million_requests", "price_per_gb_second",
              "price_per_gb_month", "price_per_gb_transfer", "price_per_request")


class Failure(Exception):
    """A failure the user can meet: reported as one line, nothing written."""


def say(text=""):
    """One line on standard output; a reader that went away (`| head`) silences the rest."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def complain(text):
    """A note or an error: on standard error, so that piped output stays data."""
    try:
        print(text, file=sys.stderr, flush=True)
    except (BrokenPipeError, ValueError):
        pass


def _today():
    return datetime.datetime.now(datetime.UTC).date().isoformat()


def _shipped_entry(provider, rtype):
    """The shipped list's entry of one resource type ({} when unreadable or absent)."""
    path = os.path.join(os.path.dirname(__file__), "data", "pricing_db.json")
    try:
        with open(path, encoding="utf-8") as f:
            entry = json.load(f).get(provider, {}).get(rtype, {})
    except (OSError, ValueError, AttributeError):
        return {}
    return entry if isinstance(entry, dict) else {}


def machine_types():
    """Compute Engine machine types the shipped list names (the catalog prices vCPUs and memory)."""
    regions = _shipped_entry("google", "google_compute_instance")
    names = set()
    for items in regions.values():
        if isinstance(items, dict):
            names.update(items)
    return sorted(names)


def store_rates(rows, meta):
    """Store tuples (provider, resource_type, item_key, region, price, source, date) of importer rows."""
    source, date = meta.get("source") or "import", meta.get("date") or _today()
    return [(r.provider, rtype, r.item, r.region, r.price, source, date)
            for r in rows if r.field == "hour" for rtype in r.types.split()]


def read_files(paths):
    rates, types = [], machine_types()
    for path in paths:
        try:
            with open(path, encoding="utf-8-sig") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as e:
            raise Failure(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
        try:
            _, rows, _, meta = pf.read_file(text, types)
        except (pf.FormatError, ValueError) as e:
            raise Failure(f"{path}: {e}") from None
        rates += store_rates(rows, meta)
    return rates


def _redact(url):
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.urlencode([(k, "..." if k == "key" else v)
                                    for k, v in urllib.parse.parse_qsl(parts.query)])
    return urllib.parse.urlunsplit(parts._replace(query=query))


def download(url):
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as resp:
            return resp.read().decode("utf-8-sig")
    except urllib.error.HTTPError as e:
        raise Failure(f"could not download {_redact(url)}: HTTP {e.code} {e.reason}") from None
    except urllib.error.URLError as e:
        raise Failure(f"could not download {_redact(url)}: {e.reason}") from None
    except (OSError, http.client.HTTPException, UnicodeDecodeError) as e:
        raise Failure(f"could not download {_redact(url)}: {e}") from None


def _page(text, url):
    try:
        data = json.loads(text)
    except ValueError:
        raise Failure(f"{_redact(url)}: not JSON") from None
    if not isinstance(data, dict):
        raise Failure(f"{_redact(url)}: not a price-list page")
    return data


def _parsed(reader, *args, url):
    try:
        return reader(*args)
    except pf.FormatError as e:
        raise Failure(f"{_redact(url)}: {e}") from None


def fetch_aws(base, regions):
    rates = []
    for offer in pf.AWS_OFFERS:
        for region in regions:
            url = f"{base}/offers/v1.0/aws/{offer}/current/{region}/index.csv"
            rows, _, meta = _parsed(pf.read_aws_csv, download(url), url=url)
            rates += store_rates([r for r in rows if r.region == region], meta)
    return rates


def fetch_azure(base, regions, rebase):
    rates = []
    for region in regions:
        query = urllib.parse.urlencode({"currencyCode": "USD", "$filter": (
            "serviceName eq 'Virtual Machines' and priceType eq 'Consumption' "
            f"and armRegionName eq '{region}'")})
        url, pages = f"{base}/api/retail/prices?{query}", 0
        while url and pages < MAX_PAGES:
            data = _page(download(url), url)
            rows, _, meta = _parsed(pf.read_azure_page, data, url=url)
            rates += store_rates([r for r in rows if r.region == region], meta)
            url, pages = data.get("NextPageLink"), pages + 1
            if url and rebase:
                # Links name the public endpoint; follow them where the pages came from.
                parts = urllib.parse.urlsplit(url)
                url = base + parts.path + ("?" + parts.query if parts.query else "")
    return rates


def fetch_google(base, regions, key):
    rates, token, pages, wanted, types = [], "", 0, set(regions), machine_types()
    while pages == 0 or (token and pages < MAX_PAGES):
        query = {"currencyCode": "USD", "key": key, **({"pageToken": token} if token else {})}
        url = f"{base}/v1/services/{COMPUTE_ENGINE}/skus?{urllib.parse.urlencode(query)}"
        data = _page(download(url), url)
        rows, _, meta = _parsed(pf.read_gcp_page, data, types, url=url)
        rates += store_rates([r for r in rows if r.region in wanted], meta)
        token, pages = data.get("nextPageToken"), pages + 1
    return rates


def fetch(book, args):
    providers = args.provider or PROVIDERS
    key = os.environ.get(GOOGLE_KEY_ENV, "")
    if "google" in providers and not key:
        if args.provider:
            raise Failure(f"Google's Cloud Billing Catalog needs an API key: set {GOOGLE_KEY_ENV}")
        complain(f"Note: Google Cloud prices skipped: set {GOOGLE_KEY_ENV} to an API key to fetch them")
        providers = [p for p in providers if p != "google"]
    base = args.base_url.rstrip("/") if args.base_url else None
    rates = []
    for provider in providers:
        regions = args.region or [r for r in book.list_regions(provider) if r != "global"]
        if provider == "aws":
            rates += fetch_aws(base or AWS_URL, regions)
        elif provider == "azure":
            rates += fetch_azure(base or AZURE_URL, regions, rebase=base is not None)
        else:
            rates += fetch_google(base or GOOGLE_URL, regions, key)
    return rates


def _money(value):
    return "-" if value is None else f"{value:.6f}".rstrip("0").rstrip(".")


def print_changes(changes):
    marks = {"add": "+", "change": "~", "drop": "-"}
    for action, provider, rtype, item, region, before, after in changes:
        price = _money(after) if action == "add" else _money(before) if action == "drop" else \
            f"{_money(before)} -> {_money(after)}"
        say(f"{marks[action]} {provider} {rtype} {item} [{region}] {price}/hour")


def refresh(book, rates, write):
    if not rates:
        raise Failure("no prices the families use were found")
    result = book._refresh_rates(rates, write)
    counts = (f"{result['added']} added, {result['changed']} changed, {result['dropped']} dropped "
              f"({result['unchanged']} unchanged, {result['kept']} of your rows kept)")
    if write:
        say(f"Prices refreshed: {counts}.")
    else:
        print_changes(result["changes"])
        say(f"A refresh would write: {counts}.")


def show(book, args):
    provider = next((p for prefix, p in PREFIXES.items() if args.type.startswith(prefix)), None)
    if provider is None:
        raise Failure(f"{args.type}: not a resource type of AWS, Azure or Google Cloud")
    rows = book._item_rows(provider, args.type, args.key)
    if args.region:
        region = book._normalise_region(provider, args.region)
        exact = [r for r in rows if r["region"] == region]
        by_region = {r["region"]: r for r in rows}
        # The lookup's own order: the region, the global row, the provider's default region.
        fallback = by_region.get("global") or by_region.get(DEFAULT_REGIONS[provider])
        if exact:
            rows = exact
        elif fallback:
            say(f"No {region} row; the estimator uses the {fallback['region']} row:")
            rows = [fallback]
        else:
            say(f"No {region} row; the estimator uses this price:")
            rate = book.get_pricing_rate(provider, args.type, args.key, args.region)
            rows = [{"region": "fallback", **rate, "source": None, "source_date": None}] if rate else []
    if not rows:
        raise Failure(f"no price for {args.type} {args.key}")
    entry = _shipped_entry(provider, args.type)
    for r in rows:
        prices = ", ".join(f"{k} {_money(r[k])}" for k in PRICE_KEYS if r.get(k))
        origin = " ".join(str(r[k]) for k in ("source", "source_date") if r.get(k))
        # A shipped row is the list's, which marks the prices it derived from another region's.
        rates = entry.get(r["region"], {}) if r.get("source") == SHIPPED else {}
        rates = rates.get(args.key) if isinstance(rates, dict) else None
        derived = isinstance(rates, dict) and rates.get("note") == "derived"
        say(f"{args.type} {args.key} [{r['region']}] {prices or 'no price'} {r.get('unit') or ''}"
            f"{' (' + origin + ')' if origin else ''}{' (derived)' if derived else ''}")


def parser():
    p = argparse.ArgumentParser(prog="tally-warden-prices",
                                description="Refresh the local price store from the providers' price lists.")
    p.add_argument("--db", metavar="PATH", help="price database (default: the one the hook uses)")
    sub = p.add_subparsers(dest="command", required=True)
    imp = sub.add_parser("import", help="write the prices of offer CSVs, Retail Prices or Billing Catalog pages")
    imp.add_argument("files", nargs="+", metavar="FILE")
    fetch_p = sub.add_parser("fetch", help="download the providers' prices and write them")
    diff_p = sub.add_parser("diff", help="show what an import (with FILEs) or a fetch would change")
    diff_p.add_argument("files", nargs="*", metavar="FILE")
    for s in (fetch_p, diff_p):
        s.add_argument("--provider", action="append", choices=PROVIDERS)
        s.add_argument("--region", action="append", help="a region to fetch (default: the store's)")
        s.add_argument("--base-url", help="fetch every provider's files from this URL instead")
    show_p = sub.add_parser("show", help="print the stored rows of one item")
    show_p.add_argument("type", metavar="TYPE")
    show_p.add_argument("key", metavar="KEY")
    show_p.add_argument("--region")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        # show never creates a database where a mistyped --db points.
        if args.db and args.command == "show" and not os.path.exists(args.db):
            raise Failure(f"no price database at {args.db}")
        from tally_warden.ratebook import Ratebook
        book = Ratebook(args.db)
        if args.command == "show":
            show(book, args)
        elif args.command == "import":
            refresh(book, read_files(args.files), write=True)
        elif args.command == "diff" and args.files:
            refresh(book, read_files(args.files), write=False)
        else:
            refresh(book, fetch(book, args), write=args.command == "fetch")
    except Failure as e:
        complain(f"Error: {e}")
        return 1
    except (sqlite3.Error, OSError) as e:
        complain(f"Error: the price database: {e}")
        return 1
    except KeyboardInterrupt:
        complain("Interrupted; nothing written.")
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
