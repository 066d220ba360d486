// Whether a catalog vouches for a file: one of its members carries the
// file's digest. Members are found by digest, not by tag, as Windows looks a
// file up among its catalogs; the digest is computed as Windows' catalog
// functions compute it, the Authenticode digest of a PE image (signed or
// not) and the digest of the whole file for anything else, in each member's
// own algorithm.
#pragma once

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/base/statuses.h"

namespace wintrust {

// 0 when a member of `list` (a catalog SignedData's content element, not
// yet checked against its signature) names the digest of `member`;
// TRUST_E_NOSIGNATURE when none does, as for any file no catalog vouches
// for; an ASN.1 error when the list is malformed; ERROR_READ_FAULT when the
// member cannot be read whole. Members whose indirect data cannot be read,
// or whose algorithm is not one of the digest policy's, vouch for nothing.
// Each algorithm's digest of the member is computed once, so the cost is
// that of reading the list once and the member once per algorithm.
HRESULT FindCatalogMember(ByteView list, const ByteSource& member);

}  // namespace wintrust
