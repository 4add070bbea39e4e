#!/usr/bin/env python3
"""Builds the resource-type catalog and the CloudFormation/Pulumi type maps from pricing/.

Sources (CSV, lines starting with "#" are comments):

    pricing/catalog.csv        type,pricing,reason
        pricing is "free" or "family". A free type costs nothing; its basis is
        "Metadata/Configuration resource '<type>' (free)" when reason is empty, else
        "<reason>: '<type>' (free)". A family row names a type that a rule family prices
        (reason may name the family); it is checked by the tests, not compiled in.
    pricing/cf_types.csv       cf_type,type
    pricing/pulumi_types.csv   token,type
        CloudFormation types and Pulumi type tokens and the record type they read as.
    pricing/property_keys.csv  reader,type,key,record_key
        Property keys that the readers copy under a Terraform-style name as well
        (reader is "cloudformation" or "pulumi"; type "*" matches every record type).
    pricing/arm_types.csv      arm_type,type
        Azure Resource Manager types of azapi resources and the azurerm type they price as
        (matched without regard to case).

Targets:

    src/core/reckoner/catalog.inc       the free types, sorted by type, and the ARM types
    src/core/stackreader/type_maps.inc  the type maps and key translations, sorted

    scripts/gen_catalog.py          write the targets
    scripts/gen_catalog.py --check  exit 1 when a target is not up to date
"""

import csv
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "pricing"
CATALOG_INC = ROOT / "src" / "core" / "reckoner" / "catalog.inc"
TYPE_MAPS_INC = ROOT / "src" / "core" / "stackreader" / "type_maps.inc"
READERS = ("cloudformation", "pulumi")
# Reasons end up in a basis line that tools split on quotes and parentheses.
REASON = re.compile(r"[A-Za-z0-9 ,.'/-]*")
TYPE = re.compile(r"[a-z0-9_]+")


class TableError(ValueError):
    pass


def read_rows(name, header):
    """The data rows of one source table, as (line number, cells)."""
    path = SOURCES / name
    lines = [(n, line) for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
             if line.strip() and not line.startswith("#")]
    if not lines:
        raise TableError(f"{name}: empty")
    rows = list(csv.reader([text for _, text in lines]))
    if rows[0] != header:
        raise TableError(f"{name}: header must be {','.join(header)}")
    out = []
    for (n, _), cells in zip(lines[1:], rows[1:]):
        if len(cells) != len(header):
            raise TableError(f"{name}:{n}: {len(cells)} cells, expected {len(header)}")
        out.append((n, [c.strip() for c in cells]))
    return out


def unique(name, rows, key):
    seen = {}
    for n, cells in rows:
        k = key(cells)
        if k in seen:
            raise TableError(f"{name}:{n}: {k!r} already on line {seen[k]}")
        seen[k] = n


def read_catalog():
    rows = read_rows("catalog.csv", ["type", "pricing", "reason"])
    unique("catalog.csv", rows, lambda c: c[0])
    free = []
    for n, (type_, pricing, reason) in rows:
        if not TYPE.fullmatch(type_):
            raise TableError(f"catalog.csv:{n}: type {type_!r}")
        if pricing not in ("free", "family"):
            raise TableError(f"catalog.csv:{n}: pricing must be free or family, not {pricing!r}")
        if pricing == "free":
            if not REASON.fullmatch(reason):
                raise TableError(f"catalog.csv:{n}: reason {reason!r} holds a character a basis cannot carry")
            free.append((type_, reason))
    # Rows are sorted within each block; a comment line starts a new block.
    lines = (SOURCES / "catalog.csv").read_text(encoding="utf-8").splitlines()
    block, blocks = 0, []
    for n, line in enumerate(lines, 1):
        if line.startswith("#"):
            block += 1
        blocks.append(block)
    for (n1, a), (n2, b) in zip(rows, rows[1:]):
        if blocks[n1 - 1] == blocks[n2 - 1] and b[0] < a[0]:
            raise TableError(f"catalog.csv:{n2}: rows are not sorted by type")
    return sorted(free)


def free_basis(type_, reason):
    if not reason:
        return f"Metadata/Configuration resource '{type_}' (free)"
    return f"{reason}: '{type_}' (free)"


def read_type_map(name, key_name):
    rows = read_rows(name, [key_name, "type"])
    unique(name, rows, lambda c: c[0])
    for n, (key, type_) in rows:
        if not key or not TYPE.fullmatch(type_):
            raise TableError(f"{name}:{n}: {key!r} -> {type_!r}")
    return sorted((c[0], c[1]) for _, c in rows)


def read_keys():
    rows = read_rows("property_keys.csv", ["reader", "type", "key", "record_key"])
    unique("property_keys.csv", rows, lambda c: tuple(c[:3]))
    for n, (reader, type_, key, record_key) in rows:
        if reader not in READERS:
            raise TableError(f"property_keys.csv:{n}: reader must be one of {', '.join(READERS)}")
        if type_ != "*" and not TYPE.fullmatch(type_):
            raise TableError(f"property_keys.csv:{n}: type {type_!r}")
        if not key or not TYPE.fullmatch(record_key):
            raise TableError(f"property_keys.csv:{n}: {key!r} -> {record_key!r}")
    return sorted(tuple(c) for _, c in rows)


def c_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


HEADER = "// Generated by scripts/gen_catalog.py from pricing/{}; do not edit.\n"


def read_arm_types():
    rows = read_type_map("arm_types.csv", "arm_type")
    lowered = [(k.lower(), t) for k, t in rows]
    keys = [k for k, _ in lowered]
    if len(set(keys)) != len(keys):
        raise TableError("arm_types.csv: an ARM type is listed twice (case does not count)")
    return sorted(lowered)


def render_catalog(free, arm):
    lines = [HEADER.format("catalog.csv and arm_types.csv"), "// Free resource types and their basis, sorted by type.\n",
             "constexpr CatalogEntry kCatalogFree[] = {\n"]
    lines += [f"    {{{c_str(t)}, {c_str(free_basis(t, r))}}},\n" for t, r in free]
    lines.append("};\n")
    lines.append("// Lower-cased ARM types and the azurerm type they price as, sorted by ARM type.\n")
    lines.append("constexpr CatalogEntry kArmTypes[] = {\n")
    lines += [f"    {{{c_str(k)}, {c_str(t)}}},\n" for k, t in arm]
    lines.append("};\n")
    return "".join(lines)


def render_type_maps(cf, pulumi, keys):
    out = [HEADER.format("cf_types.csv, pulumi_types.csv and property_keys.csv"),
           "// Each table is sorted by its key.\n"]
    for name, rows in (("kCfTypes", cf), ("kPulumiTypes", pulumi)):
        out.append(f"constexpr TypePair {name}[] = {{\n")
        out += [f"    {{{c_str(k)}, {c_str(v)}}},\n" for k, v in rows]
        out.append("};\n")
    out.append("constexpr KeyTranslation kKeyTranslations[] = {\n")
    out += [f"    {{{', '.join(c_str(c) for c in row)}}},\n" for row in keys]
    out.append("};\n")
    return "".join(out)


def build():
    return {
        CATALOG_INC: render_catalog(read_catalog(), read_arm_types()),
        TYPE_MAPS_INC: render_type_maps(read_type_map("cf_types.csv", "cf_type"),
                                        read_type_map("pulumi_types.csv", "token"), read_keys()),
    }


def main(argv):
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        sys.exit(__doc__)
    try:
        targets = build()
    except (TableError, OSError) as e:
        print(f"gen_catalog: {e}", file=sys.stderr)
        return 1
    stale = [p for p, text in targets.items() if not p.exists() or p.read_text(encoding="utf-8") != text]
    if check:
        for p in stale:
            print(f"gen_catalog: {p.relative_to(ROOT)} is not up to date; run scripts/gen_catalog.py",
                  file=sys.stderr)
        return 1 if stale else 0
    for p in stale:
        p.write_text(targets[p], encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
