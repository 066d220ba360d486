// MSIX/APPX packages and bundles as a subject: ZIP files holding
// AppxBlockMap.xml and [Content_Types].xml (a bundle holds
// AppxMetadata/AppxBundleManifest.xml too; it is verified the same way, its
// packages being files of its own block map, never opened in turn).
//
// The signature is AppxSignature.p7x, the PKCS#7 SignedData after a 4-byte
// "PKCX" header. The "digest" the signature's SpcIndirectDataContent holds
// is a blob of hashes, each with the hash method the block map names:
//   "APPX",
//   "AXPC" over the file from its start to the signature's local header
//          (the local records and data of every other file),
//   "AXCD" over the central directory without the signature's record,
//          followed by the end records rewritten as if the signature were
//          not there (entry counts, directory size and offset; no disks),
//   "AXCT" over [Content_Types].xml, uncompressed,
//   "AXBM" over AppxBlockMap.xml, uncompressed,
//   "AXCI" over AppxMetadata/CodeIntegrity.cat, uncompressed, when present.
// Besides, every file but those (and the signature) must be in the block
// map, and every 64 KiB block of its uncompressed bytes must have the hash
// the map gives (and, deflated, the compressed size); any difference is
// TRUST_E_BAD_DIGEST. Structure that contradicts itself (records that leave
// a byte unaccounted for, local headers unlike the directory, names that do
// not decode to one map name each) is a damaged subject.
#pragma once

#include <memory>

#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// kNotThisFormat for a file that is no ZIP, whose ZIP structure or records
// are damaged (ReadZipArchive, ReadZipRecords), whose entry names do not
// each decode to one block-map name, or that lacks the block map or the
// content types; kReadFault when a read fails.
SubjectStatus OpenAppxSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
