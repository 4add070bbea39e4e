#!/usr/bin/env python3
"""Reads a republished copy of a provider's on-demand price list, kept as a generated Go map
of region to instance type to hourly price (`"us-east-1": { "m5.large": 0.096000, ... }`),
and prints what the price tables need from it.

    scripts/price_republished.py cells FILE...   the (type, region) cells the copy offers,
                                                 one line per type: aws,aws_instance,TYPE,REGIONS
    scripts/price_republished.py rows FILE...    price-table lines of the types the table has
                                                 no price for, in the table's region columns
                                                 (types without a us-east-1 price are left out)

The lines are pasted into pricing/ under a comment naming the copy (repository, path,
commit, generation date and the date read); nothing is written here.
"""

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_price_list as gen  # noqa: E402
from price_import import EC2_TYPES, Row, table_lines  # noqa: E402

REGION = re.compile(r'^\s*"([a-z0-9-]+)":\s*\{\s*$')
PRICE = re.compile(r'"([a-z0-9][a-z0-9.-]*)":\s*([0-9]+(?:\.[0-9]+)?)')


def read_go_map(text):
    """[Row] of one generated Go price map."""
    rows, region = [], None
    for line in text.splitlines():
        m = REGION.match(line)
        if m:
            region = m.group(1)
            continue
        if region:
            rows += [Row("aws", EC2_TYPES, t, "hour", region, float(p)) for t, p in PRICE.findall(line)]
    return rows


def doubtful_metal(rows):
    """Bare-metal sizes the copy prices above the family's largest size in us-east-1. Another
    copy of AWS's list prices r6g.metal at the r6g.16xlarge price, where this one asks 6% more;
    the sizes of that pattern are left out rather than taken on one copy's word."""
    us = {r.item: r.price for r in rows if r.region == gen.DEFAULT_REGIONS["aws"]}
    doubtful = set()
    for item, price in us.items():
        family, _, size = item.partition(".")
        if size != "metal":
            continue
        sizes = [(int(m.group(1)), p) for i, p in us.items() if i.startswith(family + ".")
                 for m in [re.fullmatch(r"(\d+)xlarge", i.partition(".")[2])] if m]
        if sizes and price > max(sizes)[1] * 1.001:
            doubtful.add(item)
    return doubtful


def table_items(provider, res_type):
    """{item: {region}} of the published (not derived) prices of one resource type."""
    _, entries = gen.read_table(gen.SOURCES / f"{provider}.csv", (), gen.DEFAULT_REGIONS[provider])
    return {item: {r for r, items in entries.get(res_type, {}).items() if item in items}
            for items in entries.get(res_type, {}).values() for item in items}


def main(argv):
    if len(argv) < 2 or argv[0] not in ("cells", "rows"):
        print(__doc__, file=sys.stderr)
        return 2
    rows = [r for path in argv[1:] for r in read_go_map(Path(path).read_text(encoding="utf-8"))]
    if argv[0] == "cells":
        cells = {}
        for r in rows:
            cells.setdefault(r.item, []).append(r.region)
        for item in sorted(cells):
            print(f"aws,{EC2_TYPES},{item},{' '.join(sorted(set(cells[item])))}")
        return 0
    _, header, _ = gen.read_csv(gen.SOURCES / "aws.csv")
    known = table_items("aws", EC2_TYPES)
    # An item needs a default-region price to be listed at all (the store's fallback).
    served = set(known) | {r.item for r in rows if r.region == gen.DEFAULT_REGIONS["aws"]}
    doubtful = doubtful_metal(rows) - set(known)
    fresh = [r for r in rows if r.item in served and r.item not in doubtful and r.region not in known.get(r.item, ())]
    fresh.sort(key=lambda r: (r.item.split(".")[0], r.item))
    print("\n".join(table_lines(fresh, header[4:])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
