// Bounds on the evaluators' work and value sizes, so that no input makes a scan hang or
// exhaust memory. Where an evaluator can speak, reaching a bound is announced with one line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::limits {

// Instances of one resource or module call made by its count or for_each.
constexpr int64_t kMaxInstances = 10000;
// Module instances and resource instances made by the module evaluation of one scan.
constexpr size_t kMaxScanWork = 200000;
// Longest text a substitution may produce; a longer result is not made.
constexpr size_t kMaxValueBytes = 64 * 1024;

}  // namespace tw::limits
