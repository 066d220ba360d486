// Bounds-checked reading of the PE headers and the attribute certificate
// table, enough to compute the Authenticode image digest and to find the
// PKCS#7 signature. PE32 and PE32+ images. Everything is read from a
// ByteSource into small buffers of fixed size, except the signature itself,
// whose size is capped (kMaxSignatureSize).
#pragma once

#include <cstdint>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"  // kMaxSignatureSize

namespace wintrust {

enum class PeStatus {
  kOk,
  kNotPe,        // not a PE image: too short, no MZ or PE signature, headers
                 // cut short, an optional header that is neither PE32 nor PE32+
  kNoSignature,  // a PE image without a usable certificate table
  kTooLarge,     // the PKCS#7 entry is larger than kMaxSignatureSize
  kReadFault,    // a read inside the file's size came up short or failed
};

struct PeImage {
  bool pe32Plus = false;
  uint64_t checksumOffset = 0;       // the 4-byte CheckSum field
  uint64_t securityEntryOffset = 0;  // the 8-byte certificate-table entry
  uint64_t headersEnd = 0;           // end of the section table
  uint32_t numberOfRvaAndSizes = 0;
  uint32_t certTableOffset = 0;  // file offset of the certificate table
  uint32_t certTableSize = 0;
};

// Reads the headers. kNotPe when the file is not a PE image, kReadFault when
// a read fails. kNoSignature is never returned: a missing certificate
// directory is reported by FindPkcs7Signature.
PeStatus ParsePeHeaders(const ByteSource& file, PeImage* image);
// The same over bytes in memory.
PeStatus ParsePeHeaders(ByteView file, PeImage* image);

struct SignatureBlob {
  uint64_t offset = 0;  // file offset of bCertificate
  Bytes bytes;          // a copy of bCertificate, padding included
};

// Finds the first WIN_CERTIFICATE of revision 2.0 and type PKCS_SIGNED_DATA
// and reads its bCertificate. kNoSignature when there is no certificate
// directory, the table does not end exactly at the end of the file, it
// overlaps the headers, an entry before the one sought is malformed or cut
// short, or no entry is of that revision and type. kTooLarge when the entry
// holds more than kMaxSignatureSize bytes; kReadFault when a read fails.
PeStatus FindPkcs7Signature(const ByteSource& file, const PeImage& image, SignatureBlob* blob);

}  // namespace wintrust
