// The certificate trust list of Microsoft's Trusted Root Program (the
// authroot.stl Windows downloads): which roots it names, by SHA-1
// thumbprint, and the limits Windows applies to each. Read at build time,
// when the roots' index is made (root_index.h); the library itself reads the
// index, never the list.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/roots/root_limits.h"

namespace wintrust {

struct ListedRoot {
  std::array<uint8_t, 20> thumbprint{};  // SHA-1 of the certificate's DER
  RootLimits limits;
};

// Reads the roots and their limits from a certificate trust list: a
// ContentInfo holding SignedData whose content (1.3.6.1.4.1.311.10.1) is the
// list, encapsulated directly or inside an OCTET STRING. The signature is
// not checked here. Nothing when the bytes are not such a list.
std::optional<std::vector<ListedRoot>> ReadTrustList(ByteView signedList);

// A thumbprint as lower-case hexadecimal, for the build's messages.
std::string ThumbprintHex(const std::array<uint8_t, 20>& thumbprint);

}  // namespace wintrust
