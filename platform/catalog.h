// How a file is handed to the trust service as a member of a catalog. The
// system's WinTrust is told which member to judge (its tag, and the file's
// hash as the catalog holds it), and so the member is looked up here first
// through the system's catalog functions; the Linux trust library is handed
// the two paths and looks the member up itself.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace platform {

struct CatalogMember {
  WideString tag;             // empty where the trust service finds the member
  std::vector<uint8_t> hash;  // the file's hash, as the member holds it
};

// Finds the file `memberPath` among the members of the catalog
// `catalogPath` by the file's hash. True when found, or when the trust
// service finds members itself. False, with the status the trust service
// gives in `status`, when it is not listed (TRUST_E_NOSIGNATURE), a file
// cannot be opened (CreateFile's error), or the catalog cannot be read as
// one (TRUST_E_SUBJECT_FORM_UNKNOWN).
bool FindCatalogMember(const WideChar* catalogPath, const WideChar* memberPath, CatalogMember* member,
                       uint32_t* status);

}  // namespace platform
