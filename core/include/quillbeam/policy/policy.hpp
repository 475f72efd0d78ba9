#pragma once

#include "quillbeam/policy/app_identity.hpp"
#include "quillbeam/policy/policy_context.hpp"
#include "quillbeam/policy/verdict.hpp"

// The single decision of the app policy. Pure; safe on any thread.
namespace quillbeam::Policy {

// Whether `app` may be used in `context` or must be shielded, and why. The tests run in a
// fixed order: no running session, a break, the exempt set and a running allowance all
// allow before any shield is considered; then the study browser, other catalog browsers
// and the blocked list, in that order.
Verdict evaluate(const AppIdentity& app, const PolicyContext& context);

}  // namespace quillbeam::Policy
