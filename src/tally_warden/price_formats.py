"""Reads the providers' machine-readable price lists and maps their rows to cells of the
price tables in pricing/ (provider, resource types, item key, rate field, region, price).

Three formats, told apart by content (`detect`):

- AWS Price List Bulk API offer files in CSV form: five metadata rows ("FormatVersion",
  "Disclaimer", "Publication Date", "Version", "OfferCode"), then the column names and one
  row per price. Kept: on-demand hourly prices in USD of the instance products the families
  price (EC2 Linux on shared tenancy without pre-installed software, RDS MySQL single-AZ,
  ElastiCache Redis), by "Region Code".
- Azure Retail Prices API pages: JSON objects with "Items" (and "NextPageLink"). Kept:
  pay-as-you-go ("Consumption") hourly prices of virtual machines in USD, neither Spot nor
  Low Priority, by "armRegionName"; Windows products price the Windows type, the others the
  Linux types.
- Cloud Billing Catalog API pages (services.skus.list): JSON objects with "skus". Kept:
  on-demand per-vCPU and per-GiB hourly rates of predefined Compute Engine series by
  region; a machine type is priced as its vCPUs times the core rate plus its memory times
  the RAM rate, which is how Compute Engine bills predefined machine types.

Every reader returns (rows, dropped, meta): `Row`s, a Counter of the reasons rows were
dropped, and what the file says of itself (source and date, where it has them).
"""

import csv
import io
import json
import re
from collections import Counter, namedtuple

Row = namedtuple("Row", "provider types item field region price")

EC2_TYPES = "aws_instance"
RDS_TYPES = "aws_db_instance"
CACHE_TYPES = "aws_elasticache_cluster aws_elasticache_replication_group"
AZURE_LINUX_TYPES = "azurerm_virtual_machine azurerm_linux_virtual_machine"
AZURE_WINDOWS_TYPES = "azurerm_windows_virtual_machine"
GCP_TYPES = "google_compute_instance"

# Per offer: the product family its instance rows carry, the resource types they price and
# the product attributes a kept row must have.
AWS_OFFERS = {
    "AmazonEC2": ("Compute Instance", EC2_TYPES, {
        "Tenancy": "Shared", "Operating System": "Linux", "Pre Installed S/W": "NA",
        "License Model": "No License required", "CapacityStatus": "Used"}),
    "AmazonRDS": ("Database Instance", RDS_TYPES, {
        "Database Engine": "MySQL", "Deployment Option": "Single-AZ"}),
    "AmazonElastiCache": ("Cache Instance", CACHE_TYPES, {"Cache Engine": "Redis"}),
}


class FormatError(ValueError):
    pass


def _price(text):
    try:
        price = float(text)
    except (TypeError, ValueError):
        return None
    return price if price >= 0 and price == price and price != float("inf") else None


def read_aws_csv(text):
    """Rows of one AWS offer file in CSV form."""
    reader = csv.reader(io.StringIO(text))
    meta = {}
    for _ in range(5):
        row = next(reader, None)
        if not row or len(row) < 2:
            raise FormatError("an AWS offer file starts with five metadata rows")
        meta[row[0]] = row[1]
    offer = meta.get("OfferCode")
    if offer not in AWS_OFFERS:
        raise FormatError(f"offer {offer!r} is not one the families price")
    header = next(reader, None)
    if not header or "TermType" not in header:
        raise FormatError("no column names after the metadata rows")
    family, types, wanted = AWS_OFFERS[offer]
    col = {name: i for i, name in enumerate(header)}
    missing = [c for c in ("TermType", "Unit", "PricePerUnit", "Currency", "Product Family",
                           "Instance Type", "Region Code", *wanted) if c not in col]
    if missing:
        raise FormatError(f"{offer}: no column {', '.join(missing)}")
    rows, dropped = [], Counter()
    for cells in reader:
        if len(cells) != len(header):
            dropped["malformed"] += 1
            continue
        get = lambda name: cells[col[name]]  # noqa: E731
        if get("TermType") != "OnDemand":
            dropped["not on-demand"] += 1
        elif get("Product Family") != family:
            dropped["other product"] += 1
        elif any(get(k) != v for k, v in wanted.items()):
            dropped["other tenancy, system or engine"] += 1
        elif get("Unit") != "Hrs" or get("Currency") != "USD":
            dropped["other unit"] += 1
        elif not get("Instance Type") or not get("Region Code"):
            dropped["no type or region"] += 1
        elif (price := _price(get("PricePerUnit"))) is None:
            dropped["no price"] += 1
        else:
            rows.append(Row("aws", types, get("Instance Type"), "hour", get("Region Code"), price))
    return rows, dropped, {"source": offer, "date": meta.get("Publication Date", "")[:10]}


def read_azure_page(data):
    """Rows of one Azure Retail Prices API page (a decoded JSON object)."""
    items = data.get("Items")
    if not isinstance(items, list):
        raise FormatError("an Azure Retail Prices page has an Items list")
    rows, dropped, dates = [], Counter(), []
    for item in items:
        if not isinstance(item, dict):
            dropped["malformed"] += 1
            continue
        meter = str(item.get("meterName", ""))
        product = str(item.get("productName", ""))
        if item.get("serviceName") != "Virtual Machines":
            dropped["other product"] += 1
        elif item.get("type") != "Consumption":
            dropped["not on-demand"] += 1
        elif "Spot" in meter or "Low Priority" in meter:
            dropped["spot or low priority"] += 1
        elif item.get("unitOfMeasure") != "1 Hour" or item.get("currencyCode") != "USD":
            dropped["other unit"] += 1
        elif not item.get("armSkuName") or not item.get("armRegionName"):
            dropped["no type or region"] += 1
        elif (price := _price(item.get("retailPrice"))) is None:
            dropped["no price"] += 1
        else:
            types = AZURE_WINDOWS_TYPES if product.endswith("Windows") else AZURE_LINUX_TYPES
            rows.append(Row("azure", types, item["armSkuName"], "hour", item["armRegionName"], price))
            dates.append(str(item.get("effectiveStartDate", ""))[:10])
    return rows, dropped, {"source": "Azure Retail Prices", "date": max(dates, default="")}


# Compute Engine SKU descriptions of predefined vCPU and memory rates, such as
# "N2 Instance Core running in Americas" or "N2D AMD Instance Ram running in Belgium".
GCP_SKU = re.compile(r"^(E2|N1 Predefined|N2|N2D AMD|N4|C2D AMD|C3|C3D|C4|T2D AMD|T2A Arm) "
                     r"Instance (Core|Ram) running in ")
# GiB per vCPU of the predefined machine types of a series, by type (standard, highmem,
# highcpu), as Compute Engine's machine-type documentation lists them.
GCP_SHAPES = {
    "e2": (4, 8, 1), "n1": (3.75, 6.5, 0.9), "n2": (4, 8, 1), "n2d": (4, 8, 1),
    "n4": (4, 8, 2), "c2d": (4, 8, 2), "c3": (4, 8, 2), "c3d": (4, 8, 2), "c4": (3.75, 7.75, 2),
    "t2d": (4, None, None), "t2a": (4, None, None),
}


def gcp_shape(machine_type):
    """(vCPUs, GiB) of a predefined machine type named series-kind-N, or None."""
    m = re.fullmatch(r"([a-z0-9]+)-(standard|highmem|highcpu)-(\d+)", machine_type)
    if not m or m.group(1) not in GCP_SHAPES:
        return None
    ratio = GCP_SHAPES[m.group(1)][("standard", "highmem", "highcpu").index(m.group(2))]
    return None if ratio is None else (int(m.group(3)), int(m.group(3)) * ratio)


def _unit_price(sku):
    for info in sku.get("pricingInfo") or ():
        expr = info.get("pricingExpression") or {}
        for tier in expr.get("tieredRates") or ():
            money = tier.get("unitPrice") or {}
            if money.get("currencyCode", "USD") != "USD":
                return None, None
            try:
                value = int(money.get("units") or 0) + int(money.get("nanos") or 0) / 1e9
            except (TypeError, ValueError):
                return None, None
            if value > 0:
                return expr.get("usageUnit"), value
    return None, None


def read_gcp_rates(data):
    """{(series, region): {"Core": rate, "Ram": rate}} of one Cloud Billing Catalog page."""
    skus = data.get("skus")
    if not isinstance(skus, list):
        raise FormatError("a Cloud Billing Catalog page has a skus list")
    rates, dropped, dates = {}, Counter(), []
    for sku in skus:
        if not isinstance(sku, dict):
            dropped["malformed"] += 1
            continue
        category = sku.get("category") or {}
        m = GCP_SKU.match(str(sku.get("description", "")))
        if category.get("serviceDisplayName") != "Compute Engine" or not m:
            dropped["other product"] += 1
            continue
        if category.get("usageType") != "OnDemand":
            dropped["not on-demand"] += 1
            continue
        unit, value = _unit_price(sku)
        if unit != {"Core": "h", "Ram": "GiBy.h"}[m.group(2)]:
            dropped["other unit"] += 1
            continue
        series = m.group(1).split()[0].lower()
        for region in sku.get("serviceRegions") or ():
            rates.setdefault((series, region), {})[m.group(2)] = value
        dates += [str(i.get("effectiveTime", ""))[:10] for i in sku.get("pricingInfo") or ()]
    return rates, dropped, {"source": "Cloud Billing Catalog", "date": max(dates, default="")}


def read_gcp_page(data, machine_types):
    """Rows of the given predefined machine types priced from one Cloud Billing Catalog page."""
    rates, dropped, meta = read_gcp_rates(data)
    rows = []
    for name in machine_types:
        shape = gcp_shape(name)
        if shape is None:
            continue
        series = name.split("-")[0]
        for (s, region), r in sorted(rates.items()):
            if s == series and "Core" in r and "Ram" in r:
                price = round(shape[0] * r["Core"] + shape[1] * r["Ram"], 6)
                rows.append(Row("google", GCP_TYPES, name, "hour", region, price))
    return rows, dropped, meta


def detect(text):
    """'aws', 'azure' or 'google': the format of one price-list file, by its content."""
    head = text.lstrip("\ufeff").lstrip()
    if head.startswith('"FormatVersion"') or head.startswith("FormatVersion"):
        return "aws"
    if head.startswith("{"):
        try:
            data = json.loads(head)
        except ValueError:
            raise FormatError("not JSON") from None
        if isinstance(data, dict) and "Items" in data:
            return "azure"
        if isinstance(data, dict) and "skus" in data:
            return "google"
    raise FormatError("neither an AWS offer CSV, an Azure Retail Prices page nor a Cloud Billing Catalog page")


def read_file(text, machine_types=()):
    """(format, rows, dropped, meta) of one price-list file of any of the three formats."""
    kind = detect(text)
    if kind == "aws":
        return (kind, *read_aws_csv(text.lstrip("\ufeff")))
    data = json.loads(text.lstrip("\ufeff"))
    if kind == "azure":
        return (kind, *read_azure_page(data))
    return (kind, *read_gcp_page(data, machine_types))


def table_lines(rows, regions):
    """Price-table lines (resource_type,item_key,field,global,<regions>...) of `rows`, one per
    resource types, item and field in the order first seen; regions outside `regions` are left out."""
    index = {r: i for i, r in enumerate(regions)}
    lines = {}
    for row in rows:
        if row.region not in index:
            continue
        cells = lines.setdefault((row.types, row.item, row.field), [""] * len(regions))
        cells[index[row.region]] = f"{row.price:.6f}".rstrip("0").rstrip(".")
    return [",".join([types, item, field, "", *cells]) for (types, item, field), cells in lines.items()]
