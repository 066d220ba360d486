// Bounds-checked reading of the PE headers and the attribute certificate
// table, enough to compute the Authenticode image digest and to find the
// PKCS#7 signature. PE32 and PE32+ images.
#pragma once

#include <cstdint>

#include "wintrust/byte_view.h"

namespace wintrust {

enum class PeStatus {
  kOk,
  kNotPe,        // not a PE image: too short, no MZ or PE signature, headers
                 // cut short, an optional header that is neither PE32 nor PE32+
  kNoSignature,  // a PE image without a usable certificate table
};

struct PeImage {
  bool pe32Plus = false;
  uint64_t checksumOffset = 0;      // the 4-byte CheckSum field
  uint64_t securityEntryOffset = 0; // the 8-byte certificate-table entry
  uint64_t headersEnd = 0;          // end of the section table
  uint32_t numberOfRvaAndSizes = 0;
  uint32_t certTableOffset = 0;     // file offset of the certificate table
  uint32_t certTableSize = 0;
};

// Reads the headers. kNotPe when the file is not a PE image. kNoSignature is
// never returned: a missing certificate directory is reported by
// FindPkcs7Signature.
PeStatus ParsePeHeaders(ByteView file, PeImage* image);

// Finds the DER blob of the first WIN_CERTIFICATE of revision 2.0 and type
// PKCS_SIGNED_DATA. kNoSignature when there is no certificate directory, the
// table does not end exactly at the end of the file, it overlaps the headers,
// an entry before the one sought is malformed or cut short, or no entry is of
// that revision and type. `blob` is the entry's bCertificate, padding included.
PeStatus FindPkcs7Signature(ByteView file, const PeImage& image, ByteView* blob);

}  // namespace wintrust
