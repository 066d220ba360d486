// The certificate trust list of Microsoft's Trusted Root Program (the
// authroot.stl Windows downloads): which roots it names, by SHA-1
// thumbprint, and the limits Windows applies to each. Read at build time,
// when the roots' index is made (root_index.h); the library itself reads the
// index, never the list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "wintrust/byte_view.h"

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

struct ListedRoot {
  std::array<uint8_t, 20> thumbprint{};  // SHA-1 of the certificate's DER
  RootLimits limits;
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

// Reads the roots and their limits from a certificate trust list: a
// ContentInfo holding SignedData whose content (1.3.6.1.4.1.311.10.1) is the
// list, encapsulated directly or inside an OCTET STRING. The signature is
// not checked here. Nothing when the bytes are not such a list.
std::optional<std::vector<ListedRoot>> ReadTrustList(ByteView signedList);

}  // namespace wintrust
