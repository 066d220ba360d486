// MSI packages (compound files) as a subject. The signature is the content
// of the root's stream "\x05DigitalSignature". The digest covers every
// stream's content and every storage's CLSID, in Windows' order: within a
// storage its members sorted by name (MsiNameOrder), each stream's content,
// each storage's members in turn, and after them the storage's own CLSID;
// the root's two signature streams are left out.
//
// When the root also holds "\x05MsiDigitalSignatureEx", the signature
// covers the package's metadata too: that stream holds the digest, with the
// same algorithm, of every entry's name, size or CLSID, state bits and
// times in the same order (ComputeMsiMetadataDigest), and the content
// digest starts with those bytes.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/msi/compound_file.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// The order of two entries of one storage: their UTF-16LE names, each with
// its terminating NUL, compared byte by byte over the shorter; the longer
// name first when that part is equal. This is the order Windows hashes in
// (not the directory's own order, which compares lengths first).
bool MsiNameOrder(const CompoundEntry& a, const CompoundEntry& b);

// The digest of the package's metadata, the value "\x05MsiDigitalSignatureEx"
// must hold. kLibraryFailed when hashing fails.
SubjectStatus ComputeMsiMetadataDigest(const CompoundFile& file, const EVP_MD* md, Bytes* digest);

// The digest of the package's content, started with `prefix` (the metadata
// digest, or nothing). kBadDigest when a stream's chain is damaged: content
// that cannot be read is not the content that was signed.
SubjectStatus ComputeMsiContentDigest(const CompoundFile& file, const EVP_MD* md, ByteView prefix, Bytes* digest);

// kNotThisFormat for a file that is no compound file, or whose header,
// allocation tables or directory are damaged or cut; kReadFault when a read
// fails.
SubjectStatus OpenMsiSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
