// Catalog files (.cat) as a subject. The whole file is one ContentInfo of
// PKCS#7 SignedData whose encapsulated content is a certificate trust list
// (1.3.6.1.4.1.311.10.1): the list of members the catalog vouches for. The
// list is the signed content itself, either as the content element (PKCS#7
// version 1, as catalog tools write it) or inside an OCTET STRING eContent
// (CMS). There is no SpcIndirectDataContent: the signer's messageDigest
// attribute names the digest of the list (DigestHolder::kSignerAttribute),
// which the verifier computes over the SignedData's signed content (the
// element's content octets, or the OCTET STRING's value).
//
// The verdict is that of the catalog's own signature and chain; the members
// are not read, since they matter only when a catalog vouches for another
// file.
#pragma once

#include <memory>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// Whether `head`, a file's first bytes (kSubjectMagicSize or fewer), opens
// a DER ContentInfo of SignedData: a SEQUENCE (definite length of up to four
// octets, or indefinite) whose first element is the signedData OID, as far
// as the head holds it and at least the OID's tag and length. So few bytes
// cannot hold the encapsulated content's type; the opener checks that.
bool OpensSignedData(ByteView head);

// kNotThisFormat unless the file opens with a ContentInfo of SignedData
// whose encapsulated content type is the trust list's and whose stated
// length ends inside the file (read from the headers only: damage further
// in is the SignedData reader's to report); kReadFault when a read fails.
SubjectStatus OpenCatalogSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
