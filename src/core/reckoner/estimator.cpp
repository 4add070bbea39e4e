#include "core/reckoner/estimator.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "core/pytext.h"

namespace tw::reckon {

const char *const kAwsRegions[23] = {
    "us-east-1",      "us-east-2",      "us-west-1",      "us-west-2",      "eu-west-1",      "eu-west-2",
    "eu-west-3",      "eu-central-1",   "eu-north-1",     "eu-south-1",     "ap-southeast-1", "ap-southeast-2",
    "ap-northeast-1", "ap-northeast-2", "ap-northeast-3", "ap-south-1",     "ap-east-1",      "sa-east-1",
    "ca-central-1",   "me-south-1",     "af-south-1",     "us-gov-east-1",  "us-gov-west-1"};

const char *const kGcpRegions[27] = {
    "us-central1",     "us-east1",        "us-east4",        "us-west1",           "us-west2",
    "us-west3",        "us-west4",        "europe-west1",    "europe-west2",       "europe-west3",
    "europe-west4",    "europe-west6",    "europe-north1",   "europe-central2",    "asia-east1",
    "asia-east2",      "asia-northeast1", "asia-northeast2", "asia-northeast3",    "asia-southeast1",
    "asia-southeast2", "asia-south1",     "asia-south2",     "southamerica-east1", "australia-southeast1",
    "northamerica-northeast1", "me-west1"};

const std::pair<const char *, const char *> kAzureLocations[39] = {
    {"east us", "eastus"},
    {"east us 2", "eastus2"},
    {"west us", "westus"},
    {"west us 2", "westus2"},
    {"west us 3", "westus3"},
    {"central us", "centralus"},
    {"north central us", "northcentralus"},
    {"south central us", "southcentralus"},
    {"west europe", "westeurope"},
    {"north europe", "northeurope"},
    {"uk south", "uksouth"},
    {"uk west", "ukwest"},
    {"southeast asia", "southeastasia"},
    {"east asia", "eastasia"},
    {"japan east", "japaneast"},
    {"japan west", "japanwest"},
    {"australia east", "australiaeast"},
    {"australia southeast", "australiasoutheast"},
    {"canada central", "canadacentral"},
    {"canada east", "canadaeast"},
    {"brazil south", "brazilsouth"},
    {"south africa north", "southafricanorth"},
    {"uae north", "uaenorth"},
    {"korea central", "koreacentral"},
    {"eastus", "eastus"},
    {"eastus2", "eastus2"},
    {"westus", "westus"},
    {"westus2", "westus2"},
    {"westus3", "westus3"},
    {"centralus", "centralus"},
    {"westeurope", "westeurope"},
    {"northeurope", "northeurope"},
    {"uksouth", "uksouth"},
    {"southeastasia", "southeastasia"},
    {"eastasia", "eastasia"},
    {"japaneast", "japaneast"},
    {"australiaeast", "australiaeast"},
    {"canadacentral", "canadacentral"},
    {"brazilsouth", "brazilsouth"},
};

const char *const kRegionKeys[5] = {"region", "location", "provider_region", "availability_zone", "zone"};

const char *const kFreeKeywords[23] = {
    "security_group", "route_table",       "route",   "vpc",          "subnet",
    "iam",            "policy",            "role",    "key_pair",     "internet_gateway",
    "network_interface", "resource_group", "virtual_network", "local_network_gateway", "eip",
    "association",    "attachment",        "network_security_group", "acl", "nsg",
    "peering",        "endpoint_route",    "default"};

const std::vector<UnmappedCategory> kUnmappedCategories = {
    {{"db", "sql", "rds", "database", "cosmos", "mongo"}, 30.0, "Unmapped database '"},
    {{"instance", "vm", "server", "compute", "virtual_machine"}, 20.0, "Unmapped compute '"},
    {{"cluster", "eks", "gke", "aks", "kubernetes", "emr"}, 73.0, "Unmapped cluster '"},
    {{"bucket", "storage", "blob", "disk", "volume"}, 5.0, "Unmapped storage '"},
    {{"function", "lambda", "run"}, 5.0, "Unmapped serverless '"},
    {{"load_balancer", "lb", "alb", "elb", "gateway"}, 15.0, "Unmapped load balancer '"},
    {{"redis", "elasticache", "cache", "memcache"}, 20.0, "Unmapped cache '"},
    {{"queue", "topic", "stream", "kinesis", "pubsub", "bus"}, 5.0, "Unmapped messaging '"},
    {{"cdn", "cloudfront", "distribution"}, 10.0, "Unmapped CDN '"},
    {{"nat", "firewall", "waf", "vpn"}, 35.0, "Unmapped network security '"},
};

std::string_view pricing_provider(std::string_view provider) {
    return provider == "azurerm" || provider == "azapi" ? std::string_view("azure") : provider;
}

namespace {
bool in_list(const char *const *list, size_t n, std::string_view s) {
    for (size_t i = 0; i < n; ++i)
        if (s == list[i]) return true;
    return false;
}
bool is_aws_region(std::string_view s) { return in_list(kAwsRegions, 23, s); }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
}  // namespace

std::string store_provider(std::string_view provider) {
    if (provider == "gcp") return "google";
    return std::string(pricing_provider(provider));
}

std::string normalise_region(std::string_view provider_word, std::string_view region) {
    std::string_view provider = pricing_provider(provider_word);
    if (region.empty()) return "global";
    std::string text = pytext::lower(pytext::strip(region));
    if (provider == "azure") {
        for (const auto &[k, v] : kAzureLocations)
            if (text == k) return v;
        return text;
    }
    if (provider == "google" || provider == "gcp") return in_list(kGcpRegions, 27, text) ? text : "global";
    if (provider == "aws") return is_aws_region(text) ? text : "global";
    return "global";
}

std::string extract_region(std::string_view provider_word, const Map &props) {
    std::string_view provider = pricing_provider(provider_word);
    for (const char *key : kRegionKeys) {
        const Value *v = props.find(key);
        if (!v || !v->is_str() || v->as_str().empty()) continue;
        std::string value = v->as_str();
        if (provider == "aws" && value.size() > 2) {
            // A zone: the region code followed by one letter ("us-east-1a"), or a region
            // with a dash and a letter appended.
            char last = value.back();
            if (is_letter(last)) {
                std::string head = value.substr(0, value.size() - 1);
                if (value[value.size() - 2] == '-' || is_aws_region(pytext::lower(pytext::strip(head))))
                    value = head;
            }
        }
        if ((provider == "google" || provider == "gcp") && value.size() > 2 && value[value.size() - 2] == '-')
            value.resize(value.size() - 2);
        return normalise_region(provider, value);
    }
    return "global";
}

const FamilyTable &families() {
    static const FamilyTable table = [] {
        FamilyTable t;
        add_shared_families(t);
        add_aws_families(t);
        add_azure_families(t);
        add_gcp_families(t);
        add_more_families(t);
        return t;
    }();
    return table;
}

const char *cost_source_name(CostSource s) {
    switch (s) {
        case CostSource::Rule: return "rule";
        case CostSource::CatalogFree: return "free-catalog";
        case CostSource::KeywordFree: return "free-keyword";
        case CostSource::FlatDefault: return "flat-default";
        case CostSource::OutsideBill: return "outside-bill";
    }
    return "rule";
}

namespace {

struct CatalogEntry {
    const char *type;
    const char *basis;
};
#include "core/reckoner/catalog.inc"

const CatalogEntry *catalog_find(std::string_view type) {
    auto it = std::lower_bound(std::begin(kCatalogFree), std::end(kCatalogFree), type,
                               [](const CatalogEntry &e, std::string_view t) { return std::string_view(e.type) < t; });
    return it != std::end(kCatalogFree) && it->type == type ? &*it : nullptr;
}

bool is_cluster_object(std::string_view type) {
    return type.starts_with("kubernetes_") || type.starts_with("kubectl_") || type.starts_with("helm_");
}

// Whether a Kubernetes object asks the cloud for something of its own: a service of type
// LoadBalancer, or a volume claim (a claim template, or the access modes that only claims
// and volumes carry), anywhere in its properties, including manifests held as text. A
// persistent volume names storage that exists already.
bool asks_for_load_balancer(const Map &props) {
    std::vector<const Value *> todo;
    for (const auto &[k, v] : props) todo.push_back(&v);
    while (!todo.empty()) {
        const Value *v = todo.back();
        todo.pop_back();
        if (v->is_str() && v->as_str().find("LoadBalancer") != std::string::npos) return true;
        if (v->is_list())
            for (const auto &e : v->as_list()) todo.push_back(&e);
        else if (v->is_map())
            for (const auto &[k, e] : v->as_map()) todo.push_back(&e);
    }
    return false;
}

bool provisions_cloud_resource(std::string_view type, const Map &props) {
    bool volume = type.starts_with("kubernetes_persistent_volume");
    auto claims = [volume](std::string_view key) {
        return key == "volume_claim_template" || key == "volumeClaimTemplates" ||
               (!volume && (key == "access_modes" || key == "accessModes"));
    };
    std::vector<const Value *> todo;
    for (const auto &[k, v] : props) {
        if (claims(k)) return true;
        todo.push_back(&v);
    }
    while (!todo.empty()) {
        const Value *v = todo.back();
        todo.pop_back();
        if (v->is_str()) {
            const std::string &s = v->as_str();
            if (s.find("LoadBalancer") != std::string::npos || s.find("PersistentVolumeClaim") != std::string::npos)
                return true;
        } else if (v->is_list()) {
            for (const auto &e : v->as_list()) todo.push_back(&e);
        } else if (v->is_map()) {
            for (const auto &[k, e] : v->as_map()) {
                if (claims(k)) return true;
                todo.push_back(&e);
            }
        }
    }
    return false;
}

// Classifies `type` by its keywords; the basis names `shown` (the type unless an azapi resource
// is classified by its ARM type).
CostSource classify(std::string_view type, Ctx &ctx, std::string_view shown) {
    std::string lower = pytext::lower(type);
    for (const char *kw : kFreeKeywords) {
        if (lower.find(kw) != std::string::npos) {
            ctx.cost = 0.0;
            ctx.basis = "Metadata/Configuration resource '" + std::string(shown) + "' (free)";
            return CostSource::KeywordFree;
        }
    }
    for (const auto &row : kUnmappedCategories) {
        for (const char *kw : row.keywords) {
            if (lower.find(kw) != std::string::npos) {
                ctx.cost = row.monthly_cost;
                ctx.basis = row.opening + std::string(shown) + "' (default)";
                return CostSource::FlatDefault;
            }
        }
    }
    ctx.cost = 10.0;
    ctx.basis = "Unmapped paid resource '" + std::string(shown) + "' (default)";
    return CostSource::FlatDefault;
}

// Prefixes of the providers whose resources reach an AWS, Azure or Google Cloud bill: the
// Terraform providers, and the Pulumi native providers as the Pulumi reader names their types.
constexpr const char *kCloudPrefixes[] = {"aws_",         "awscc_",        "azurerm_",      "azapi_",
                                          "google_",      "aws-native_",   "azure-native_", "google-native_"};

// What an azapi resource prices as: the azurerm type of its ARM type (the `type` attribute
// before "@"), else the ARM type's last segment in snake case; nothing without an ARM type.
struct ArmType {
    std::string arm;     // as written, without the version
    std::string mapped;  // the azurerm type, or empty
    std::string snake;   // the last segment in snake case
};

std::optional<ArmType> azapi_type(const Map &props) {
    const Value *v = props.find("type");
    if (!v || !v->is_str()) return std::nullopt;
    std::string arm = v->as_str().substr(0, v->as_str().find('@'));
    size_t slash = arm.rfind('/');
    if (slash == std::string::npos || slash + 1 == arm.size() || arm.find("${") != std::string::npos)
        return std::nullopt;
    ArmType out{arm, "", ""};
    std::string key = pytext::lower(arm);
    auto it = std::lower_bound(std::begin(kArmTypes), std::end(kArmTypes), key,
                               [](const CatalogEntry &e, std::string_view t) { return std::string_view(e.type) < t; });
    if (it != std::end(kArmTypes) && it->type == key) out.mapped = it->basis;
    for (size_t i = slash + 1; i < arm.size(); ++i) {
        char ch = arm[i];
        if (ch >= 'A' && ch <= 'Z') {
            if (i > slash + 1) out.snake += '_';
            ch = char(ch - 'A' + 'a');
        }
        out.snake += ch;
    }
    return out;
}

// Where the value of `key` starts in HCL (`key = v`) or JSON (`"key": v`) text, from `from`;
// npos when the key is not there.
size_t value_at(std::string_view text, std::string_view key, size_t from = 0) {
    for (size_t at = text.find(key, from); at != std::string_view::npos; at = text.find(key, at + 1)) {
        size_t end = at + key.size();
        bool inside_word = (at > 0 && pytext::is_ident_char(text[at - 1])) ||
                           (end < text.size() && pytext::is_ident_char(text[end]));
        if (inside_word) continue;
        if (end < text.size() && text[end] == '"') ++end;
        while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
        if (end < text.size() && (text[end] == '=' || text[end] == ':')) {
            ++end;
            while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
            return end;
        }
    }
    return std::string_view::npos;
}

// The quoted text at `at`, if any.
std::optional<std::string> quoted_at(std::string_view text, size_t at) {
    if (at >= text.size() || text[at] != '"') return std::nullopt;
    size_t close = text.find('"', at + 1);
    if (close == std::string_view::npos || close == at + 1) return std::nullopt;
    return std::string(text.substr(at + 1, close - at - 1));
}

// The size an ARM body gives: properties.hardwareProfile.vmSize, else sku.name; from a body
// map (plan JSON) or from its text (HCL or jsonencode, as the .tf reader keeps it).
struct ArmSize {
    std::optional<std::string> vm_size, sku;
};

ArmSize arm_size(const Map &props) {
    ArmSize out;
    const Value *body = props.find("body");
    if (body && body->is_map()) {
        const Map &b = body->as_map();
        if (const Value *p = b.find("properties"); p && p->is_map())
            if (const Value *h = p->as_map().find("hardwareProfile"); h && h->is_map())
                if (const Value *v = h->as_map().find("vmSize"); v && v->is_str() && !v->as_str().empty())
                    out.vm_size = v->as_str();
        if (const Value *sku = b.find("sku"); sku && sku->is_map())
            if (const Value *n = sku->as_map().find("name"); n && n->is_str() && !n->as_str().empty())
                out.sku = n->as_str();
        return out;
    }
    if (!body || !body->is_str()) return out;
    std::string_view text = body->as_str();
    if (size_t at = value_at(text, "vmSize"); at != std::string_view::npos) out.vm_size = quoted_at(text, at);
    if (size_t at = value_at(text, "sku"); at != std::string_view::npos && at < text.size() && text[at] == '{') {
        size_t close = text.find('}', at);
        std::string_view block = text.substr(at, close == std::string_view::npos ? std::string_view::npos : close - at);
        if (size_t n = value_at(block, "name"); n != std::string_view::npos) out.sku = quoted_at(block, n);
    }
    return out;
}

// The properties an azurerm family reads, with the ARM body's size under the azurerm keys
// (`size`, `vm_size`, `sku`, `sku_name`) where the resource does not set them itself.
std::optional<Map> with_arm_size(const Map &props) {
    ArmSize size = arm_size(props);
    if (!size.vm_size && !size.sku) return std::nullopt;
    Map out = props;
    auto put = [&](const char *key, const std::optional<std::string> &v) {
        if (v && !out.contains(key)) out.set(key, Value(*v));
    };
    put("size", size.vm_size);
    put("vm_size", size.vm_size);
    put("sku", size.sku);
    put("sku_name", size.sku);
    return out;
}
}  // namespace

bool outside_cloud_bill(std::string_view type) {
    size_t end = type.find('_');
    if (end == std::string_view::npos || end == 0) return false;
    for (char ch : type.substr(0, end))
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-')) return false;
    if (is_cluster_object(type)) return false;
    for (const char *prefix : kCloudPrefixes)
        if (type.starts_with(prefix)) return false;
    return true;
}

namespace {
Cost estimate_as_given(const Value &provider_v, const Value &type_v, const Value &name, const Map &props,
                       RateSource &source) {
    std::string provider = provider_v.is_str() ? provider_v.as_str() : pytext::str_of(provider_v);
    std::string type = type_v.is_str() ? type_v.as_str() : type_v.is_null() ? "" : pytext::str_of(type_v);
    std::string region = extract_region(provider, props);
    // An azapi resource prices as the azurerm type of its ARM type, else by the keywords of
    // the ARM type's last segment.
    std::string priced_as = type, shown = type;
    std::optional<Map> arm_props;
    if (type == "azapi_resource" || type == "azapi_update_resource") {
        if (auto arm = azapi_type(props)) {
            priced_as = arm->mapped.empty() ? arm->snake : arm->mapped;
            shown = arm->mapped.empty() ? arm->arm : arm->mapped;
            if (!arm->mapped.empty()) arm_props = with_arm_size(props);
        }
    }
    Ctx ctx{pricing_provider(provider), priced_as, arm_props ? *arm_props : props, region, source, 0.0,
            "No price mapped", {}};
    const auto &table = families();
    CostSource how = CostSource::Rule;
    if (auto it = table.find(priced_as); it != table.end()) {
        it->second(ctx);
    } else if (is_cluster_object(priced_as) && asks_for_load_balancer(props)) {
        cluster_load_balancer(ctx);
    } else if (const CatalogEntry *free = catalog_find(priced_as);
               free && !(is_cluster_object(priced_as) && provisions_cloud_resource(priced_as, props))) {
        ctx.cost = 0.0;
        ctx.basis = free->basis;
        how = CostSource::CatalogFree;
    } else if (priced_as == type && outside_cloud_bill(type)) {
        ctx.cost = 0.0;
        ctx.basis = "Outside the cloud bill: '" + type + "' (not billed by AWS, Azure or Google Cloud)";
        how = CostSource::OutsideBill;
    } else {
        how = classify(priced_as, ctx, shown);
    }
    bool other_region = !ctx.other_region.empty();
    if (other_region) {
        std::string note = ctx.fallback_note();
        if (ctx.basis.find(note) == std::string::npos) ctx.basis += note;
    }
    return Cost{name, Value(type), region, pytext::round2(ctx.cost), std::move(ctx.basis),
                std::move(ctx.details), how, ctx.default_rate, other_region};
}

// An expression the reader could not resolve, kept as its text (or a literal null text).
bool unresolved_text(const Value &v) {
    if (!v.is_str()) return false;
    const std::string &s = v.as_str();
    if (s == "null") return true;
    for (std::string_view mark : {"var.", "local.", "each.", "${", "try("})
        if (s.find(mark) != std::string::npos) return true;
    return false;
}
}  // namespace

// A record with unresolved properties is priced as if they were absent whenever they make a
// difference, so that the family's default applies and the basis says why, instead of an
// expression being priced as a size.
Cost estimate(const Value &provider_v, const Value &type_v, const Value &name, const Map &props, RateSource &source) {
    bool any = false;
    for (const auto &kv : props) any = any || unresolved_text(kv.second);
    if (!any) return estimate_as_given(provider_v, type_v, name, props, source);
    Map known;
    for (const auto &kv : props)
        if (!unresolved_text(kv.second)) known.set(kv.first, kv.second);
    Cost as_given = estimate_as_given(provider_v, type_v, name, props, source);
    Cost cost = estimate_as_given(provider_v, type_v, name, known, source);
    bool shows = false;
    for (const auto &kv : props)
        if (unresolved_text(kv.second) && as_given.basis.find(kv.second.as_str()) != std::string::npos) shows = true;
    if (!shows && as_given.monthly_cost == cost.monthly_cost && as_given.basis == cost.basis &&
        as_given.region == cost.region)
        return as_given;
    cost.basis += " (unresolved)";
    return cost;
}

Cost estimate_record(const Map &record, RateSource &source) {
    static const Map empty;
    const Value *p = record.find("properties");
    if (p && !p->is_map())
        throw RecordError(std::string("_extract_region() argument 'props' must be dict, not ") + type_name(*p));
    const Value *provider = record.find("provider");
    const Value *type = record.find("type");
    const Value *name = record.find("name");
    return estimate(provider ? *provider : Value("aws"), type ? *type : Value(""), name ? *name : Value(""),
                    p ? p->as_map() : empty, source);
}

Value cost_to_value(const Cost &c) {
    Map m;
    m.set("name", c.name);
    m.set("type", c.type);
    m.set("region", Value(c.region));
    m.set("monthly_cost", Value(c.monthly_cost));
    m.set("unit", Value("USD"));
    m.set("basis", Value(c.basis));
    m.set("details", Value(c.details));
    return Value(std::move(m));
}

void Report::add(std::string_view type, double monthly_cost) {
    total += monthly_cost;
    std::string key(type);
    auto it = index.find(key);
    if (it == index.end()) {
        index.emplace(key, breakdown.size());
        breakdown.emplace_back(key, pytext::round2(0.0 + monthly_cost));
    } else {
        auto &slot = breakdown[it->second].second;
        slot = pytext::round2(slot + monthly_cost);
    }
}

}  // namespace tw::reckon
