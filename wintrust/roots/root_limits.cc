#include "wintrust/roots/root_limits.h"

namespace wintrust {

RootVerdict JudgeRoot(const RootLimits& limits, uint8_t usage, int64_t when, int64_t issued) {
  // Disabled: nothing verified at or after the date chains to the root; a
  // signature time-stamped before it still does.
  if (limits.disabledFrom != 0 && when >= limits.disabledFrom) return RootVerdict::kDisabled;
  // Not before: certificates issued after the date lose the listed usages,
  // or the whole root when no usage is listed.
  if (limits.notBefore != 0 && issued > limits.notBefore) {
    if (!limits.notBeforeUsages.present) return RootVerdict::kDisabled;
    if (limits.notBeforeUsages.Lists(usage)) return RootVerdict::kNotForUsage;
  }
  if (limits.enabled.present && !limits.enabled.Lists(usage)) return RootVerdict::kNotForUsage;
  if (limits.disallowed.present && limits.disallowed.Lists(usage)) return RootVerdict::kNotForUsage;
  return RootVerdict::kTrusted;
}

}  // namespace wintrust
