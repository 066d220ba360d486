// One Authenticode verification of a file of any subject format (subject.h),
// in Windows' order, the first failure deciding the status:
//   1. the file is of a format with a subject
//                                         else TRUST_E_SUBJECT_FORM_UNKNOWN
//   2. it carries a PKCS#7 signature      else TRUST_E_NOSIGNATURE
//   3. the signature's SignedData holds SpcIndirectDataContent whose digest
//      is the subject's                   else an ASN.1 error, NTE_BAD_ALGID or
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
#include "wintrust/verifier/trust_state.h"

namespace wintrust {

// Win32 errors returned as they are, the way WinTrust returns I/O failures.
constexpr HRESULT kErrorFileNotFound = 2;
constexpr HRESULT kErrorAccessDenied = 5;
constexpr HRESULT kErrorReadFault = 30;
constexpr HRESULT kErrorInvalidName = 123;

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

// The same for a file already in memory.
HRESULT VerifyImage(ByteView file, std::string_view fileName, TrustState* state);

}  // namespace wintrust
