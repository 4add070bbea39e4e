// Evaluation of Terraform expressions over the values a scope knows: literals, references,
// conditionals, comparisons, logic and the common functions. Anything that depends on what
// the reader cannot know (resource attributes, data sources, unknown functions) leaves the
// expression unresolved.
#pragma once

#include <optional>
#include <string_view>

#include "core/stackreader/tfmodel.h"

namespace tw::stack::tfexpr {

// Bounds on one evaluation: nesting of the expression, syntax nodes and evaluation steps.
constexpr int kMaxDepth = 64;
constexpr size_t kMaxNodes = 4096;
constexpr size_t kMaxSteps = 20000;

// The value of `text` when it resolves to something the plain reference and interpolation
// pass would not give: null (also through a reference), or the result of an operator, a
// conditional, a function call or an index. Nothing otherwise, including for plain literals,
// plain references and anything that does not resolve.
std::optional<Value> evaluate(std::string_view text, const Scope &scope);

}  // namespace tw::stack::tfexpr
