#include "verify/status_text.h"

#include <iterator>

namespace {

struct Entry {
  uint32_t status;
  const char* name;
  const char* explanation;
};

constexpr Entry kStatuses[] = {
    {0x00000000, "S_OK", "the signature is valid and trusted"},
    {0x00000002, "ERROR_FILE_NOT_FOUND", "the file does not exist"},
    {0x00000003, "ERROR_PATH_NOT_FOUND", "a folder on the way to the file does not exist"},
    {0x00000005, "ERROR_ACCESS_DENIED", "the file cannot be opened (no permission, or not a regular file)"},
    {0x0000001E, "ERROR_READ_FAULT", "the file could not be read to its end"},
    {0x00000020, "ERROR_SHARING_VIOLATION", "another program holds the file open without sharing it"},
    {0x0000007B, "ERROR_INVALID_NAME", "the path is not a valid file name"},
    {0x8007000E, "E_OUTOFMEMORY", "the verification ran out of memory"},
    {0x80070057, "E_INVALIDARG", "the trust service refused the request"},
    {0x80090008, "NTE_BAD_ALGID", "the signature uses a digest algorithm that is not accepted"},
    {0x80092003, "CRYPT_E_FILE_ERROR", "the file could not be read"},
    {0x80093102, "CRYPT_E_ASN1_EOD", "the signature's encoding ends too early"},
    {0x80093104, "CRYPT_E_ASN1_LARGE", "the signature is too large to decode"},
    {0x8009310B, "CRYPT_E_ASN1_BADTAG", "the signature's encoding is damaged"},
    {0x80096001, "TRUST_E_SYSTEM_ERROR", "the trust service failed (its installation may be damaged)"},
    {0x80096002, "TRUST_E_NO_SIGNER_CERT", "the signer's certificate is missing from the signature"},
    {0x80096004, "TRUST_E_CERT_SIGNATURE", "a certificate's signature in the chain does not verify"},
    {0x80096010, "TRUST_E_BAD_DIGEST", "the file was changed after it was signed, or the signature does not verify"},
    {0x80096019, "TRUST_E_BASIC_CONSTRAINTS", "a certificate in the chain may not issue certificates"},
    {0x800B0001, "TRUST_E_PROVIDER_UNKNOWN", "no trust provider knows this kind of request"},
    {0x800B0002, "TRUST_E_ACTION_UNKNOWN", "the trust provider does not support the requested action"},
    {0x800B0003, "TRUST_E_SUBJECT_FORM_UNKNOWN", "the file is of a kind that cannot carry a signature"},
    {0x800B0004, "TRUST_E_SUBJECT_NOT_TRUSTED", "the subject is not trusted for the requested action"},
    {0x800B0100, "TRUST_E_NOSIGNATURE", "the file is not signed"},
    {0x800B0101, "CERT_E_EXPIRED", "a certificate in the chain is outside its validity period"},
    {0x800B0105, "CERT_E_CRITICAL", "a certificate has a critical extension that is not understood"},
    {0x800B0109, "CERT_E_UNTRUSTEDROOT", "the chain ends at a root that is not trusted"},
    {0x800B010A, "CERT_E_CHAINING", "no chain to a trusted root could be built"},
    {0x800B0110, "CERT_E_WRONG_USAGE", "a certificate is not valid for code signing"},
    {0x800B0111, "TRUST_E_EXPLICIT_DISTRUST", "a certificate in the chain is explicitly distrusted"},
};

}  // namespace

StatusText DescribeStatus(uint32_t status) {
  for (const Entry& entry : kStatuses) {
    if (entry.status == status) return {entry.name, entry.explanation};
  }
  if (IsReadFailure(status)) return {"WIN32_ERROR", "the file could not be read"};
  return {"UNKNOWN_STATUS", "the trust service gave a status this command does not know"};
}

bool IsReadFailure(uint32_t status) {
  // WinTrust hands back Win32 error codes unchanged, and only for files it
  // could not open or read; every verdict on a signature is an HRESULT with
  // its failure bit set.
  return status != 0 && status < 0x10000;
}
