// The limits the root program sets on each of its roots, and whether a root
// with such limits anchors a chain.
#pragma once

#include <cstdint>

namespace wintrust {

// The usages the trust library asks of a root, as bits.
enum RootUsage : uint8_t {
  kUsageCodeSigning = 1u << 0,   // 1.3.6.1.5.5.7.3.3
  kUsageTimeStamping = 1u << 1,  // 1.3.6.1.5.5.7.3.8
};

// A list of extended key usages carried as a property; `present` tells an
// absent property from an empty list.
struct UsageList {
  bool present = false;
  uint8_t usages = 0;  // RootUsage bits among the listed usages

  bool Lists(uint8_t usage) const { return (usages & usage) != 0; }
};

// Seconds since 1970 (UTC); 0 when the property is absent.
using PropertyTime = int64_t;

struct RootLimits {
  UsageList enabled;              // the usages the root is enabled for; absent: every usage
  UsageList disallowed;           // usages taken away from the root
  PropertyTime disabledFrom = 0;  // from this time on the root anchors nothing
  PropertyTime notBefore = 0;     // certificates issued after it lose...
  UsageList notBeforeUsages;      // ...these usages; absent: every usage
};

enum class RootVerdict {
  kTrusted,
  kNotForUsage,  // the root does not anchor chains for this usage
  kDisabled,     // the root anchors nothing at this time or for this certificate
};

// Whether a root with `limits` anchors a chain for `usage` (RootUsage),
// verified at `when`, whose end certificate was issued (its notBefore) at
// `issued`; both in seconds since 1970.
RootVerdict JudgeRoot(const RootLimits& limits, uint8_t usage, int64_t when, int64_t issued);

}  // namespace wintrust
