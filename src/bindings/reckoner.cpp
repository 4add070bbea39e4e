// Module reckoner: the class Reckoner over the estimator core.
#include <memory>
#include <optional>

#include "bindings/store_bridge.h"
#include "core/pytext.h"
#include "core/reckoner/estimator.h"

using namespace tw;

namespace {

// Module-lifetime references (never released: they outlive the interpreter's teardown).
nb::handle g_rate, g_estimate_one, g_native_store_lookup, g_ratebook_cls;

reckon::Rates rates_from_host(nb::handle mapping) {
    reckon::Rates r;
    nb::object d = PyDict_Check(mapping.ptr()) ? nb::borrow(mapping) : nb::module_::import_("builtins").attr("dict")(mapping);
    if (PyDict_Size(d.ptr()) == 0) return r;
    r.found = true;
    for (int i = 0; i < 6; ++i) {
        PyObject *v = PyDict_GetItemString(d.ptr(), reckon::kFieldNames[i]);
        if (!v || v == Py_None) continue;
        if (PyFloat_Check(v) || PyLong_Check(v)) {
            double x = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
            if (PyErr_Occurred()) {
                PyErr_Clear();
                continue;
            }
            r.present[i] = true;
            r.value[i] = x;
        }
    }
    return r;
}

// The store lookup of a Ratebook: native when the object is an unmodified Ratebook.
bool native_store(nb::handle db) {
    if (!py::resolves_to(db.type(), "get_pricing_rate", g_native_store_lookup)) return false;
    nb::object d = nb::getattr(db, "__dict__", nb::none());
    return d.is_none() || !PyDict_Contains(d.ptr(), nb::str("get_pricing_rate").ptr());
}

std::string db_path_of(nb::handle db) { return py::fspath(db.attr("db_path")); }

// Lookups through the host objects: the instance's _rate, or its db's get_pricing_rate.
class HostSource : public reckon::RateSource {
public:
    HostSource(nb::handle self, bool via_rate) : self_(self), via_rate_(via_rate) {}
    reckon::Rates rate(std::string_view provider, std::string_view type, std::string_view key,
                       std::string_view region) override {
        nb::object res;
        if (via_rate_)
            res = self_.attr("_rate")(py::from_utf8(provider), py::from_utf8(type), py::from_utf8(key),
                                      py::from_utf8(region));
        else
            res = self_.attr("db").attr("get_pricing_rate")(py::from_utf8(reckon::store_provider(provider)), py::from_utf8(type),
                                                            py::from_utf8(key), py::from_utf8(region));
        return rates_from_host(res);
    }

private:
    nb::handle self_;
    bool via_rate_;
};

// The source for one call: native when neither _rate nor the store was replaced.
std::unique_ptr<reckon::RateSource> source_for(nb::handle self, bool many) {
    if (!py::resolves_to(self.type(), "_rate", g_rate)) return std::make_unique<HostSource>(self, true);
    nb::object db = self.attr("db");
    if (!native_store(db)) return std::make_unique<HostSource>(self, false);
    std::string path = db_path_of(db);
    return py::translating([&]() -> std::unique_ptr<reckon::RateSource> {
        if (many) return std::make_unique<rate::SnapshotSource>(path);
        return std::make_unique<rate::StoreSource>(path);
    });
}

reckon::Cost cost_of(const char *fn, nb::handle resource, reckon::RateSource &source) {
    if (!PyDict_Check(resource.ptr())) py::type_error(fn, "resource", "dict", resource);
    Value record = py::from_python(resource);
    return py::translating([&] {
        try {
            return reckon::estimate_record(record.as_map(), source);
        } catch (const reckon::RecordError &e) {
            throw nb::type_error(e.what());
        }
    });
}

nb::object estimate_one(nb::handle resource, reckon::RateSource &source) {
    reckon::Cost c = cost_of("estimate_resource_cost", resource, source);
    static const nb::handle k_name = py::key_to_python("name").release(), k_type = py::key_to_python("type").release(),
                            k_region = py::key_to_python("region").release(),
                            k_cost = py::key_to_python("monthly_cost").release(),
                            k_unit = py::key_to_python("unit").release(), k_basis = py::key_to_python("basis").release(),
                            k_details = py::key_to_python("details").release(),
                            usd = py::key_to_python("USD").release();
    nb::dict out;
    auto put = [&out](nb::handle k, nb::handle v) {
        if (PyDict_SetItem(out.ptr(), k.ptr(), v.ptr()) != 0) throw nb::python_error();
    };
    put(k_name, py::to_python(c.name));
    put(k_type, py::to_python(c.type));
    put(k_region, py::key_to_python(c.region));
    put(k_cost, nb::steal(PyFloat_FromDouble(c.monthly_cost)));
    put(k_unit, usd);
    put(k_basis, py::from_utf8(c.basis));
    put(k_details, c.details.empty() ? nb::steal(PyDict_New()) : py::to_python(Value(c.details)));
    return out;
}

}  // namespace

NB_MODULE(reckoner, m) {
    nb::module_ ratebook = nb::module_::import_("tally_warden.ratebook");
    g_ratebook_cls = nb::object(ratebook.attr("Ratebook")).release();
    g_native_store_lookup =
        PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(g_ratebook_cls.ptr())->tp_dict, "get_pricing_rate");
    g_native_store_lookup.inc_ref();

    m.attr("DEFAULT_MONTHLY_HOURS") = reckon::DEFAULT_MONTHLY_HOURS;
    nb::set aws, gcp;
    for (const char *r : reckon::kAwsRegions) aws.add(r);
    for (const char *r : reckon::kGcpRegions) gcp.add(r);
    m.attr("_AWS_REGIONS") = aws;
    m.attr("_GCP_REGIONS") = gcp;
    nb::dict azure;
    for (const auto &[k, v] : reckon::kAzureLocations) azure[k] = v;
    m.attr("_AZURE_LOCATIONS") = azure;
    nb::list region_keys, free;
    for (const char *k : reckon::kRegionKeys) region_keys.append(k);
    for (const char *k : reckon::kFreeKeywords) free.append(k);
    m.attr("REGION_KEYS") = region_keys;
    m.attr("free_keywords") = free;
    nb::list cats;
    for (const auto &row : reckon::kUnmappedCategories) {
        nb::list kws;
        for (const char *k : row.keywords) kws.append(k);
        cats.append(nb::make_tuple(kws, row.monthly_cost, row.opening));
    }
    m.attr("UNMAPPED_CATEGORIES") = cats;

    m.def("_normalise_region", [](nb::handle provider, nb::handle region) {
        return py::from_utf8(reckon::normalise_region(py::text_arg("_normalise_region", "provider", provider),
                                                      py::text_arg("_normalise_region", "region", region)));
    }, nb::arg("provider"), nb::arg("region"));
    m.def("_extract_region", [](nb::handle provider, nb::handle props) {
        std::string p = py::text_arg("_extract_region", "provider", provider);
        if (!PyDict_Check(props.ptr())) py::type_error("_extract_region", "props", "dict", props);
        Value v = py::from_python(props);
        return py::from_utf8(reckon::extract_region(p, v.as_map()));
    }, nb::arg("provider"), nb::arg("props"));
    // How a Reckoner prices one resource, for reports: what priced it ("rule", "free-catalog",
    // "free-keyword", "flat-default") and whether a rule fell back on a built-in default rate.
    m.def("_cost_source", [](nb::handle reckoner, nb::handle resource) {
        auto source = source_for(reckoner, false);
        reckon::Cost c = cost_of("_cost_source", resource, *source);
        return nb::make_tuple(py::from_utf8(reckon::cost_source_name(c.source)), c.default_rate);
    }, nb::arg("reckoner"), nb::arg("resource"));

    nb::object cls = py::make_class(m, "Reckoner",
                                    "Estimates costs of parsed infrastructure resources using a local pricing database.");

    py::add_attr(cls, "__init__", nb::cpp_function(
        [](nb::handle self, nb::object db_path) {
            nb::object db;
            if (db_path.is_none()) {
                db = g_ratebook_cls();
            } else {
                if (PyUnicode_Check(db_path.ptr())) {
                    std::string p = py::to_utf8(db_path);
                    const std::string seed = "pricing_db.json";
                    if (!p.empty() && p.size() >= seed.size() && p.compare(p.size() - seed.size(), seed.size(), seed) == 0) {
                        std::string out;
                        for (size_t i = 0; i < p.size();) {
                            if (p.compare(i, seed.size(), seed) == 0) {
                                out += "pricing.db";
                                i += seed.size();
                            } else {
                                out += p[i++];
                            }
                        }
                        db_path = py::from_utf8(out);
                    }
                }
                db = g_ratebook_cls(db_path);
            }
            nb::setattr(self, "db", db);
        },
        nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, db_path: str | os.PathLike[str] | None = None) -> None"),
        nb::arg("db_path").none() = nb::none()));

    nb::object rate_fn = nb::cpp_function(
        [](nb::handle self, nb::handle provider, nb::handle resource_type, nb::handle item_key, nb::handle region) {
            const char *fn = "_rate";
            std::string p = py::text_arg(fn, "provider", provider), t = py::text_arg(fn, "resource_type", resource_type),
                        k = py::text_arg(fn, "item_key", item_key), r = py::text_arg(fn, "region", region);
            return self.attr("db").attr("get_pricing_rate")(py::from_utf8(reckon::store_provider(p)), py::from_utf8(t),
                                                            py::from_utf8(k), py::from_utf8(r));
        },
        nb::is_method(), nb::name("_rate"), nb::arg("provider"), nb::arg("resource_type"), nb::arg("item_key"),
        nb::arg("region") = "global");
    g_rate = rate_fn.release();
    py::add_attr(cls, "_rate", nb::borrow(g_rate));

    py::add_attr(cls, "get_pricing_rate", nb::cpp_function(
        [](nb::handle self, nb::handle provider, nb::handle resource_type, nb::handle item_key) {
            const char *fn = "get_pricing_rate";
            std::string p = py::text_arg(fn, "provider", provider), t = py::text_arg(fn, "resource_type", resource_type),
                        k = py::text_arg(fn, "item_key", item_key);
            return self.attr("db").attr("get_pricing_rate")(py::from_utf8(reckon::store_provider(p)), py::from_utf8(t),
                                                            py::from_utf8(k));
        },
        nb::is_method(), nb::name("get_pricing_rate"),
        nb::sig("def get_pricing_rate(self, provider: str, resource_type: str, item_key: str) -> dict[str, typing.Any]"),
        nb::arg("provider"), nb::arg("resource_type"),
        nb::arg("item_key")));

    nb::object estimate_fn = nb::cpp_function(
        [](nb::handle self, nb::handle resource) {
            if (!PyDict_Check(resource.ptr())) py::type_error("estimate_resource_cost", "resource", "dict", resource);
            auto source = source_for(self, false);
            return estimate_one(resource, *source);
        },
        nb::is_method(), nb::name("estimate_resource_cost"),
        nb::sig("def estimate_resource_cost(self, resource: dict[str, typing.Any]) -> dict[str, typing.Any]"),
        nb::arg("resource").none());
    g_estimate_one = estimate_fn.release();
    py::add_attr(cls, "estimate_resource_cost", nb::borrow(g_estimate_one));

    py::add_attr(cls, "estimate_total_costs", nb::cpp_function(
        [](nb::handle self, nb::handle resources) {
            if (!PyList_Check(resources.ptr())) py::type_error("estimate_total_costs", "resources", "list", resources);
            py::GcPause pause;
            bool native_one = py::resolves_to(self.type(), "estimate_resource_cost", g_estimate_one);
            std::unique_ptr<reckon::RateSource> source;
            if (native_one && PyList_GET_SIZE(resources.ptr()) > 0)
                source = source_for(self, size_t(PyList_GET_SIZE(resources.ptr())) >= rate::kSnapshotFrom);
            reckon::Report report;
            nb::list results;
            nb::list items = nb::borrow<nb::list>(resources);
            for (size_t i = 0; i < nb::len(items); ++i) {
                nb::object cost = native_one ? estimate_one(items[i], *source)
                                             : nb::object(self.attr("estimate_resource_cost")(items[i]));
                results.append(cost);
                nb::object type = cost["type"];
                PyObject *mco = PyDict_Check(cost.ptr()) ? PyDict_GetItemString(cost.ptr(), "monthly_cost") : nullptr;
                double mc = mco && PyFloat_CheckExact(mco) ? PyFloat_AS_DOUBLE(mco) : nb::cast<double>(cost["monthly_cost"]);
                report.add(PyUnicode_Check(type.ptr()) ? py::to_utf8(type) : py::to_utf8(nb::str(type)), mc);
            }
            nb::dict out;
            out["total_monthly_cost"] = pytext::round2(report.total);
            out["unit"] = "USD";
            out["resources"] = results;
            nb::dict breakdown;
            for (const auto &[k, v] : report.breakdown) breakdown[py::from_utf8(k)] = v;
            out["breakdown_by_service"] = breakdown;
            return out;
        },
        nb::is_method(), nb::name("estimate_total_costs"),
        nb::sig("def estimate_total_costs(self, resources: list[dict[str, typing.Any]]) -> dict[str, typing.Any]"),
        nb::arg("resources").none()));
}
