// Cabinet files (MSCF) as a subject. A signed cabinet carries the flag
// "reserve present", a header reserve of at least 20 bytes whose bytes 4..11
// locate the signature (its offset and size), and the PKCS#7 SignedData at
// that offset, ending the file. The digest covers the whole cabinet except
// the fields signing changes: reserved1 (bytes 4..7), and iCabinet, the
// reserve sizes and the first 16 bytes of the header reserve (bytes
// 34..55), up to the signature.
#pragma once

#include <cstdint>
#include <memory>

#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

struct CabinetLayout {
  bool hasLocator = false;  // the reserve is there and large enough
  uint64_t reserveEnd = 0;  // end of the header reserve
  uint32_t signatureOffset = 0;
  uint32_t signatureSize = 0;
};

// Reads the cabinet's header. kNotThisFormat when the file is no cabinet or
// its header, reserve included, is cut short; kReadFault when a read fails.
SubjectStatus ReadCabinetLayout(const ByteSource& file, CabinetLayout* layout);

// Finds and copies the signature: kNoSignature when the cabinet has no
// locator, the locator is empty, the signature starts inside the header or
// does not end exactly at the end of the file; kTooLarge above
// kMaxSignatureSize.
SubjectStatus ReadCabinetSignature(const ByteSource& file, const CabinetLayout& layout, Bytes* blob);

// The cabinet's digest with `md`, for a layout whose signature
// ReadCabinetSignature accepted.
SubjectStatus ComputeCabinetDigest(const ByteSource& file, const CabinetLayout& layout, const EVP_MD* md,
                                   Bytes* digest);

SubjectStatus OpenCabinetSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
