// The structure of a signed cabinet, checked against what signing writes.
// The digest skips the fields signing fills in (reserved1, iCabinet, the
// reserve sizes and most of the signature descriptor), so those fields are
// not covered by the signature: a cabinet whose uncovered fields say
// something other than what signing wrote reads differently from the one
// that was signed. They must hold what signing writes, and the folders and
// data blocks they size must lie where the covered fields say.
#pragma once

#include <cstdint>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// The bytes of a signed cabinet's header: the fixed part, the reserve sizes
// and the 20-byte signature descriptor.
constexpr uint64_t kSignedCabinetHeaderSize = 60;

// Checks a cabinet that claims a signature at `cabinetEnd` (its own bytes end
// there) against the format: reserved fields zero, a header reserve of
// exactly the 20-byte signature descriptor, the folder table (each entry
// 8 bytes plus the per-folder reserve) ending where the first file entry
// starts, and every folder's data blocks (8 bytes plus the per-block reserve
// plus their data) lying between the file entries and `cabinetEnd`.
// kNotThisFormat when one does not hold, kReadFault when a read fails.
// Reads at most one 8-byte block header per 8 bytes of the cabinet.
SubjectStatus CheckSignedCabinetStructure(const ByteSource& file, ByteView header, uint64_t cabinetEnd);

}  // namespace wintrust
