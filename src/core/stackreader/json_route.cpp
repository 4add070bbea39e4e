// Routing of `.json` files by their top-level keys to the plan, Pulumi or CloudFormation
// reader. A file whose content has the wrong shape for its reader is reported like a file
// that cannot be decoded, and the scan goes on.
#include "core/stackreader/formats.h"

namespace tw::stack {

JsonKind route_json(json::Node doc) {
    if (!doc.is_map()) return JsonKind::None;
    if (doc.find("planned_values") || doc.find("resource_changes")) return JsonKind::Plan;
    if (auto d = doc.find("deployment"); d && d->is_map() && d->find("resources")) return JsonKind::Pulumi;
    if (doc.find("Resources")) return JsonKind::CloudFormation;
    return JsonKind::None;
}

std::vector<Value> parse_json_file(const std::string &path, const Sink &out) {
    json::Document doc;
    std::string error;
    try {
        if (!json::load_file(path, doc, error)) throw ShapeError(error);
        json::Node root = doc.root();
        switch (route_json(root)) {
            case JsonKind::Plan: return plan_values(read_plan(root));
            case JsonKind::Pulumi: return read_pulumi(root);
            case JsonKind::CloudFormation: return read_cloudformation(root);
            case JsonKind::None: return {};
        }
    } catch (const ShapeError &e) {
        out(std::string(kJsonFileError) + path + ": " + e.what());
    }
    return {};
}

}  // namespace tw::stack
