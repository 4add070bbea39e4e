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

pricing/regional/<provider>.csv holds the regional premiums of instance families, as
published reference prices:

    resource_type,families,reference,taken,<region>,<region>,...

`resource_type` may name several types, separated by blanks; `families` are globs over the
item keys of the price table (as written there, ladders included); `reference` is one item
of those families, and each cell its published price in that region, taken on the row's
date. The default region must be priced and agree with the price table (to within 0.1%,
the rounding of price lists that keep five decimals). Every table row of
such a type that a glob matches gains, in each region priced here where its own cell is
empty, a derived price: its default-region price times the reference's price in that region
divided by the reference's default-region price, rounded to six decimals (where several
premium rows price a region, the first wins). A derived price never replaces a published
one, not even one of an earlier row (a ladder followed by exceptions). The rates object of an
item with a derived price carries "note": "derived".

    scripts/gen_price_list.py          write the price list
    scripts/gen_price_list.py --check  exit 1 when the price list is not up to date
"""

import csv
import fnmatch
import json
import re
import sys
from fractions import Fraction
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "pricing"
REGIONAL = SOURCES / "regional"
TARGET = ROOT / "src" / "tally_warden" / "data" / "pricing_db.json"
PROVIDERS = ("aws", "azure", "google")
FIELDS = ("hour", "million_requests", "gb_second", "gb_month", "gb_transfer", "request")
RATE_KEYS = {"price_per_" + f for f in FIELDS} | {"unit"}
# Where the store looks when neither the region nor "global" holds a row.
DEFAULT_REGIONS = {"aws": "us-east-1", "azure": "eastus", "google": "us-central1"}
LADDER = re.compile(r"\{([^}]*)\}")
# A rates object of a derived cell says so under NOTE; the store ignores keys it does not know.
NOTE, DERIVED = "note", "derived"


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


def read_csv(path):
    """(taken date or None, header, [(line number, cells)]) of one source table."""
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
    if not lines:
        raise TableError(f"{path.name}: no header")
    rows = list(csv.reader([text for _, text in lines]))
    header = [h.strip() for h in rows[0]]
    body = []
    for (n, _), row in zip(lines[1:], rows[1:]):
        if len(row) > len(header):
            raise TableError(f"{path.name}:{n}: {len(row)} cells, the header has {len(header)}")
        body.append((n, [c.strip() for c in row] + [""] * (len(header) - len(row))))
    return taken, header, body


def price_of(cell, where):
    try:
        price = Fraction(cell)
    except ValueError:
        raise TableError(f"{where}: {cell!r} is not a price") from None
    if price < 0:
        raise TableError(f"{where}: negative price {cell}")
    return price


def read_premiums(provider, path, default):
    """[(resource types, globs, reference, {region: factor}, where, default price)] of a
    regional premium table."""
    if not path.exists():
        return []
    _, header, body = read_csv(path)
    if header[:4] != ["resource_type", "families", "reference", "taken"]:
        raise TableError(f"{path.name}: header must start with resource_type,families,reference,taken")
    regions = header[4:]
    if default not in regions:
        raise TableError(f"{path.name}: no column for the default region {default}")
    premiums = []
    for n, row in body:
        where = f"regional/{path.name}:{n}"
        res_type, globs, reference, taken = row[0], row[1].split(), row[2], row[3]
        if not res_type or not globs or not reference or not re.fullmatch(r"\d{4}-\d{2}-\d{2}", taken):
            raise TableError(f"{where}: needs a resource type, families, a reference item and a taken date")
        prices = {r: price_of(c, where) for r, c in zip(regions, row[4:]) if c}
        base = prices.get(default)
        if not base:
            raise TableError(f"{where}: no {default} price for {reference}")
        premiums.append((res_type, globs, reference, {r: p / base for r, p in prices.items()}, where, base))
    return premiums


def premiums_of(premiums, res_type, item_key, used=None):
    """{region: factor} of the premium rows matching one price table row; where several
    rows price a region, the first one wins."""
    factors = {}
    for p in premiums:
        if res_type in p[0].split() and any(fnmatch.fnmatchcase(item_key, g) for g in p[1]):
            if used is not None:
                used.add(p[4])
            for region, factor in p[3].items():
                factors.setdefault(region, factor)
    return factors


def derived(price, factor):
    """A default-region price carried to a region by its premium."""
    return Fraction(round(float(price * factor), 6))


def read_table(path, premiums=(), default=None):
    """(taken date, {resource_type: {region: {item: {rate key: price}}}}) of one table, with the
    derived prices of `premiums` filled into empty cells."""
    taken, header, body = read_csv(path)
    if taken is None:
        raise TableError(f"{path.name}: no '# taken: YYYY-MM-DD' line")
    if header[:4] != ["resource_type", "item_key", "field", "global"]:
        raise TableError(f"{path.name}: header must start with resource_type,item_key,field,global")
    regions = header[3:]
    entries = {}
    used = set()
    derived_cells = set()
    for n, row in body:
        where = f"{path.name}:{n}"
        res_types, item_key, field = row[0].split(), row[1], row[2]
        if not res_types or not item_key:
            raise TableError(f"{where}: no resource type or item key")
        if field not in FIELDS:
            raise TableError(f"{where}: unknown field {field!r}")
        key = "price_per_" + field
        items = expand(item_key, where)
        for res_type in res_types:
            cells = {r: (price_of(c, where), False) for r, c in zip(regions, row[3:]) if c}
            if default in cells:
                for region, factor in premiums_of(premiums, res_type, item_key, used).items():
                    cells.setdefault(region, (derived(cells[default][0], factor), True))
            for region, (price, is_derived) in cells.items():
                for item, factor in items:
                    rates = entries.setdefault(res_type, {}).setdefault(region, {}).setdefault(item, {})
                    mark = (res_type, region, item, key)
                    if is_derived and key in rates and mark not in derived_cells:
                        continue
                    (derived_cells.add if is_derived else derived_cells.discard)(mark)
                    rates[key] = float(price * factor)
    for res_type, region, item, _ in sorted(derived_cells):
        entries[res_type][region][item][NOTE] = DERIVED
    for p in premiums:
        if p[4] not in used:
            raise TableError(f"{p[4]}: no row of {p[0]} matches {' '.join(p[1])}")
        check_reference(p, entries, default)
    return taken, entries


# A reference copied from a price list that rounds to five decimals may differ from the
# price table's (published) default-region price by that rounding, never by more.
REFERENCE_TOLERANCE = Fraction(1, 1000)


def check_reference(premium, entries, default):
    """The reference item's default-region price must be the price table's (to within
    REFERENCE_TOLERANCE of it)."""
    res_types, _, reference, _, where, base = premium
    for res_type in res_types.split():
        rates = entries.get(res_type, {}).get(default, {}).get(reference, {})
        if not any(abs(Fraction(r) - base) <= REFERENCE_TOLERANCE * Fraction(r) for r in rates.values()):
            raise TableError(f"{where}: {reference} costs {base} in {default}, the price table says {rates or 'nothing'}")


def derive(provider, res_type, item, region):
    """The derived price of one item in a region, whether or not a published price exists
    (for checking the rule against published prices); None when no premium applies."""
    default = DEFAULT_REGIONS[provider]
    premiums = read_premiums(provider, REGIONAL / f"{provider}.csv", default)
    _, header, body = read_csv(SOURCES / f"{provider}.csv")
    column = header.index(default)
    found = None
    for n, row in body:
        if res_type in row[0].split() and row[column]:
            for expanded, factor in expand(row[1], f"{provider}.csv:{n}"):
                if expanded == item:
                    found = row[1], Fraction(row[column]), factor
    if found is None:
        return None
    factor = premiums_of(premiums, res_type, found[0]).get(region)
    return None if factor is None else float(derived(found[1], factor) * found[2])


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
        default = DEFAULT_REGIONS[provider]
        premiums = read_premiums(provider, REGIONAL / f"{provider}.csv", default)
        taken, entries = read_table(SOURCES / f"{provider}.csv", premiums, default)
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
