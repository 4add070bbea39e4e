#!/usr/bin/env python3
"""Builds src/tally_warden/data/pricing_db.json from the price tables in pricing/.

Each table is a CSV file named after the provider key the estimator asks for
(aws.csv, azure.csv, google.csv). Lines starting with "#" are comments; one of them
reads "# taken: YYYY-MM-DD", the date the prices were taken. The header is

    resource_type,item_key,field,global,<region>,<region>,...

`resource_type` may name several types, separated by blanks, that share the row's
prices. `field` is a rate field without its "price_per_" prefix (hour, million_requests,
gb_second, gb_month, gb_transfer, request). Each cell is the price in that region; an
empty cell stores nothing. An item key holding "{a:1 b:2 c:1/2}" is a size ladder:
it stands for one item per size (the braces replaced by the size name) whose price is
the row's price times the size's factor. A later row for the same item, field and
region replaces an earlier one, so a ladder can be followed by exceptions.

A resource type whose rows are all in the "global" column becomes a flat entry of the
price list; any other becomes a regional entry (with "global" as one of its regions).

    scripts/gen_price_list.py          write the price list
    scripts/gen_price_list.py --check  exit 1 when the price list is not up to date
"""

import csv
import json
import re
import sys
from fractions import Fraction
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "pricing"
TARGET = ROOT / "src" / "tally_warden" / "data" / "pricing_db.json"
PROVIDERS = ("aws", "azure", "google")
FIELDS = ("hour", "million_requests", "gb_second", "gb_month", "gb_transfer", "request")
RATE_KEYS = {"price_per_" + f for f in FIELDS} | {"unit"}
# Where the store looks when neither the region nor "global" holds a row.
DEFAULT_REGIONS = {"aws": "us-east-1", "azure": "eastus", "google": "us-central1"}
LADDER = re.compile(r"\{([^}]*)\}")


class TableError(ValueError):
    pass


def expand(item_key, where):
    """The items a key stands for, each with its price factor."""
    m = LADDER.search(item_key)
    if not m:
        return [(item_key, Fraction(1))]
    items = []
    for token in m.group(1).split():
        size, sep, factor = token.partition(":")
        if not sep or not size:
            raise TableError(f"{where}: ladder step {token!r} is not size:factor")
        try:
            items.append((item_key[: m.start()] + size + item_key[m.end() :], Fraction(factor)))
        except (ValueError, ZeroDivisionError) as e:
            raise TableError(f"{where}: ladder factor {factor!r}: {e}") from None
    return items


def read_table(path):
    """(taken date, {resource_type: {region: {item: {rate key: price}}}}) of one table."""
    taken = None
    lines = []
    for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.startswith("#"):
            m = re.match(r"#\s*taken:\s*(\d{4}-\d{2}-\d{2})\s*$", line)
            if m:
                taken = m.group(1)
            continue
        if line.strip():
            lines.append((n, line))
    if taken is None:
        raise TableError(f"{path.name}: no '# taken: YYYY-MM-DD' line")
    rows = list(csv.reader([text for _, text in lines]))
    header = [h.strip() for h in rows[0]]
    if header[:4] != ["resource_type", "item_key", "field", "global"]:
        raise TableError(f"{path.name}: header must start with resource_type,item_key,field,global")
    regions = header[3:]
    entries = {}
    for (n, _), row in zip(lines[1:], rows[1:]):
        where = f"{path.name}:{n}"
        if len(row) > len(header):
            raise TableError(f"{where}: {len(row)} cells, the header has {len(header)}")
        row = [c.strip() for c in row] + [""] * (len(header) - len(row))
        res_types, item_key, field = row[0].split(), row[1], row[2]
        if not res_types or not item_key:
            raise TableError(f"{where}: no resource type or item key")
        if field not in FIELDS:
            raise TableError(f"{where}: unknown field {field!r}")
        key = "price_per_" + field
        for region, cell in zip(regions, row[3:]):
            if not cell:
                continue
            try:
                price = Fraction(cell)
            except ValueError:
                raise TableError(f"{where}: {cell!r} is not a price") from None
            if price < 0:
                raise TableError(f"{where}: negative price {cell}")
            for res_type in res_types:
                for item, factor in expand(item_key, where):
                    rates = entries.setdefault(res_type, {}).setdefault(region, {}).setdefault(item, {})
                    rates[key] = float(price * factor)
    return taken, entries


def entry_of(provider, res_type, by_region):
    """The price list entry of one resource type: flat when every row is global."""
    if set(by_region) == {"global"}:
        return by_region["global"]
    default = DEFAULT_REGIONS[provider]
    served = set(by_region.get("global", {})) | set(by_region.get(default, {}))
    for region, items in by_region.items():
        for item in items:
            if item in RATE_KEYS:
                raise TableError(f"{provider} {res_type}: item {item!r} is named like a rate key")
            if item not in served:
                raise TableError(
                    f"{provider} {res_type}: {item!r} has a {region} price but none for global or {default}"
                )
    return by_region


def build():
    price_list, dates = {}, {}
    for provider in PROVIDERS:
        taken, entries = read_table(SOURCES / f"{provider}.csv")
        dates[provider] = taken
        price_list[provider] = {t: entry_of(provider, t, regions) for t, regions in entries.items()}
    return price_list, dates


def render(price_list):
    """JSON text with one item (and its rates) per line, so that a price change is a one-line diff."""
    dump = json.dumps

    def items(m, indent):
        pad = " " * indent
        return ",\n".join(f"{pad}{dump(k)}: {dump(v)}" for k, v in m.items())

    def entry(e):
        first = next(iter(e.values()), None)
        if isinstance(first, dict) and RATE_KEYS & set(first):
            return "{\n" + items(e, 6) + "\n    }"
        regions = ",\n".join(f"      {dump(r)}: {{\n{items(m, 8)}\n      }}" for r, m in e.items())
        return "{\n" + regions + "\n    }"

    providers = []
    for provider, types in price_list.items():
        body = ",\n".join(f"    {dump(t)}: {entry(e)}" for t, e in types.items())
        providers.append(f"  {dump(provider)}: {{\n{body}\n  }}")
    return "{\n" + ",\n".join(providers) + "\n}\n"


def main(argv):
    try:
        price_list, dates = build()
    except TableError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    text = render(price_list)
    assert json.loads(text) == price_list
    if "--check" in argv:
        if not TARGET.exists() or TARGET.read_text(encoding="utf-8") != text:
            print(f"{TARGET.relative_to(ROOT)} is not up to date: run scripts/gen_price_list.py", file=sys.stderr)
            return 1
        return 0
    TARGET.parent.mkdir(parents=True, exist_ok=True)
    TARGET.write_text(text, encoding="utf-8")
    print(f"wrote {TARGET.relative_to(ROOT)} ({', '.join(f'{p} {d}' for p, d in dates.items())})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
