// Sizes read across records. The estimator prices one record at a time; an instance group that
// launches from a template of the same scan, and names no size of its own, receives the
// template's size as one more property before pricing.
#pragma once

#include <vector>

#include "core/value.h"

namespace tw::stack {

// The properties a group receives: the launch template's `instance_type` (Auto Scaling groups,
// EKS node groups) or the instance template's `machine_type` (managed instance groups).
inline constexpr const char *kTemplateInstanceType = "template_instance_type";
inline constexpr const char *kTemplateMachineType = "template_machine_type";
// A sole-tenant node group's node template's `node_type`.
inline constexpr const char *kTemplateNodeType = "template_node_type";
// An Auto Scaling group's named launch configuration's `instance_type`, and the first instance
// type among its mixed instances policy's overrides.
inline constexpr const char *kLaunchConfigurationInstanceType = "launch_configuration_instance_type";
inline constexpr const char *kMixedInstanceType = "mixed_instance_type";

// Adds the template size to every such group among `records`. A template is found by the
// reference the group holds ("aws_launch_template.web.id", "google_compute_instance_template.
// web.self_link", a template's `!Ref Config`) or, for launch templates and configurations, by
// name; a reference that names templates of different sizes in the scan is left alone.
void adopt_template_sizes(std::vector<Value> &records);

}  // namespace tw::stack
