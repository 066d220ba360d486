// One Authenticode verification of a file of any subject format (subject.h),
// in Windows' order, the first failure deciding the status:
//   1. the file is of a format with a subject
//                                         else TRUST_E_SUBJECT_FORM_UNKNOWN
//   2. it carries a PKCS#7 signature      else TRUST_E_NOSIGNATURE
//   3. the signature's SignedData names a digest that is the subject's: in
//      SpcIndirectDataContent, or for a subject that is the signed content
//      itself (a catalog) in the signer's messageDigest attribute
//                                         else an ASN.1 error, NTE_BAD_ALGID or
//                                         TRUST_E_BAD_DIGEST
//   4. the first signer's certificate is in the message and its messageDigest
//      and signature check out            else TRUST_E_NO_SIGNER_CERT or
//                                         TRUST_E_BAD_DIGEST
//   5. its chain is valid, at the time of a valid timestamp or else now (a
//      lifetime-signing certificate always now), and ends at one of the
//      program's roots or a root the user added
//                                         else a chain status (chain_policy.h)
// Files that cannot be opened give the Win32 error Windows' CreateFile would;
// a read that fails or comes up short once the file is open (another process
// truncated it) gives ERROR_READ_FAULT.
#pragma once

#include <string_view>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/base/statuses.h"
#include "wintrust/roots/trust_anchors.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/subject/subject.h"
#include "wintrust/verifier/trust_state.h"

namespace wintrust {

// Win32 errors returned as they are, the way WinTrust returns I/O failures.
constexpr HRESULT kErrorFileNotFound = 2;
constexpr HRESULT kErrorAccessDenied = 5;
constexpr HRESULT kErrorReadFault = 30;
constexpr HRESULT kErrorInvalidName = 123;

// The status Windows gives for what a subject reports, and for what the
// ASN.1 decoder says of a structure it cannot read.
HRESULT StatusOfSubject(SubjectStatus status);
HRESULT StatusOfDerError(DerError error);

// The digest with `md` of the subject's content, the value the signature
// `signedData` (decoded from the subject's ReadSignature) must name:
// ComputeDigest's for kIndirectData, else that of the signed content, which
// is the subject's own (a catalog's list).
SubjectStatus SubjectDigest(const Subject& subject, const SignedData& signedData, const EVP_MD* md, Bytes* digest);

// Verifies the file at `path` (the tool's UTF-16 text) and records what it
// found in `state`.
HRESULT VerifyFile(const char16_t* path, TrustState* state);

// The same for bytes read through `file`; `fileName` (bytes, may be empty)
// serves formats that are told by their extension. The program's roots come
// from the index installed beside the library; TRUST_E_SYSTEM_ERROR, whatever
// the file, when that index is missing, cut short or damaged.
HRESULT VerifySource(const ByteSource& file, std::string_view fileName, TrustState* state);

// The same with the anchors given; TRUST_E_SYSTEM_ERROR when a root of their
// index turns out damaged during the verification.
HRESULT VerifySource(const ByteSource& file, std::string_view fileName, TrustAnchors* anchors, TrustState* state);

// The file at `memberPath` as a member of the catalog at `catalogPath`: the
// catalog's verdict once the member is found among its members
// (catalog_member.h), TRUST_E_NOSIGNATURE when it is not listed,
// TRUST_E_SUBJECT_FORM_UNKNOWN when the catalog is not a catalog, and
// CreateFile's error when either file cannot be opened. The state records
// the catalog's signer.
HRESULT VerifyCatalogMember(const char16_t* catalogPath, const char16_t* memberPath, TrustState* state);

// The same for bytes read through `catalog` (named `fileName`) and `member`;
// with a null `member`, the catalog, or a file of any format, on its own.
HRESULT VerifyMember(const ByteSource& catalog, std::string_view fileName, const ByteSource* member, TrustState* state);

// The same for a file of any format already in memory.
HRESULT VerifyInMemory(ByteView file, std::string_view fileName, TrustState* state);

}  // namespace wintrust
