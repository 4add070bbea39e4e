#!/usr/bin/env python3
"""Coverage of the shipped price list: rows per provider, the share of the read source's
(type, region) cells the tables price, and, per instance family, the regions the estimator
names where its prices are published, derived, or missing (there the default region's row
prices it, and the basis says so).

    scripts/price_coverage.py          print the README's coverage section
    scripts/price_coverage.py --write  write it into README.md (between its markers)
    scripts/price_coverage.py --check  exit 1 when README.md's section differs from it

The region lists are the estimator's, so the built package must be importable.
"""

import csv
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_price_list as gen  # noqa: E402

README = gen.ROOT / "README.md"
CELLS = gen.SOURCES / "coverage"
START, END = "<!-- coverage:start -->", "<!-- coverage:end -->"
VM_TYPES = {"aws": "aws_instance", "azure": "azurerm_linux_virtual_machine", "google": "google_compute_instance"}


def estimator_regions():
    from tally_warden import reckoner

    def ordered(provider, regions):
        # The default region first, then the others in name order.
        default = gen.DEFAULT_REGIONS[provider]
        return [default] + sorted(set(regions) - {default})

    return {"aws": ordered("aws", reckoner._AWS_REGIONS), "google": ordered("google", reckoner._GCP_REGIONS),
            "azure": ordered("azure", reckoner._AZURE_LOCATIONS.values())}


def family(provider, item):
    if provider == "aws":
        return item.split(".")[0]
    if provider == "google":
        return item.split("-")[0]
    m = re.match(r"Standard_([A-Z]+)\d+(.*)$", item)
    return m.group(1) + m.group(2) if m else item


def cells_of(provider):
    """{(item, region)} the read source offers for the provider's instances (empty when no
    source listing was read)."""
    path = CELLS / f"{provider}_cells.csv"
    if not path.exists():
        return set()
    lines = [line for line in path.read_text(encoding="utf-8").splitlines() if line and not line.startswith("#")]
    return {(row["item_key"], region) for row in csv.DictReader(lines) for region in row["regions"].split()}


def published_and_all(provider):
    default = gen.DEFAULT_REGIONS[provider]
    _, published = gen.read_table(gen.SOURCES / f"{provider}.csv", (), default)
    premiums = gen.read_premiums(provider, gen.REGIONAL / f"{provider}.csv", default)
    _, everything = gen.read_table(gen.SOURCES / f"{provider}.csv", premiums, default)
    return published, everything


def flat(entries):
    return {(t, r, i) for t, regions in entries.items() for r, items in regions.items() for i in items}


def short(regions, names):
    if not regions:
        return "-"
    if set(regions) == set(names):
        return "all"
    if len(regions) > len(names) / 2:
        return "all but " + ", ".join(r for r in names if r not in regions)
    return ", ".join(r for r in names if r in regions)


def section():
    names = estimator_regions()
    out = [START, "", "| provider | priced cells (type, item, region) | of them derived | instance types |"
           " source cells priced |", "|---|---|---|---|---|"]
    gaps = []
    for provider in gen.PROVIDERS:
        published, everything = published_and_all(provider)
        pub, full = flat(published), flat(everything)
        vm = VM_TYPES[provider]
        items = {i for t, _, i in full if t == vm}
        source = cells_of(provider)
        if source:
            priced = {(i, r) for t, r, i in pub if t == vm}
            share = f"{len(source & priced)} of {len(source)} ({100 * len(source & priced) / len(source):.1f}%)"
        else:
            share = "no source listing read"
        out.append(f"| {provider} | {len(full)} | {len(full - pub)} | {len(items)} | {share} |")
        groups = {}
        for fam in sorted({family(provider, i) for i in items}):
            members = {i for i in items if family(provider, i) == fam}
            where_pub = [r for r in names[provider] if any((vm, r, i) in pub for i in members)]
            where_any = [r for r in names[provider] if any((vm, r, i) in full for i in members)]
            derived = [r for r in where_any if r not in where_pub]
            missing = [r for r in names[provider] if r not in where_any]
            key = (short(where_pub, names[provider]), short(derived, names[provider]),
                   short(missing, names[provider]))
            groups.setdefault(key, []).append(fam)
        for (p, d, m), fams in groups.items():
            if m != "-":
                gaps.append(f"| {provider} | {' '.join(fams)} | {p} | {d} | {m} |")
    out += ["", "Instance families by the regions the estimator names: where their prices are published,"
            " where they are derived (\"(derived)\", see above), and where no row exists, so that the"
            " default region's row prices them and the basis says so (\"other-region\").", "",
            "| provider | families | published | derived | no row |", "|---|---|---|---|---|", *gaps, "", END]
    return "\n".join(out) + "\n"


def main(argv):
    text = README.read_text(encoding="utf-8")
    start, end = text.find(START), text.find(END)
    if start < 0 or end < start:
        print(f"README.md has no {START} ... {END} section", file=sys.stderr)
        return 2
    new = section()
    current = text[start:end + len(END)] + "\n"
    if "--check" in argv:
        if current != new:
            print("README.md's coverage section is not up to date: run scripts/price_coverage.py --write",
                  file=sys.stderr)
            return 1
        return 0
    if "--write" in argv:
        README.write_text(text[:start] + new + text[end + len(END) + 1:], encoding="utf-8")
        return 0
    sys.stdout.write(new)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
