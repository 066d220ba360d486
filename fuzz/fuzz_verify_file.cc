// The whole verification as the tool calls it: the input written to a file,
// WinVerifyTrustEx with WTD_STATEACTION_VERIFY, the records read back, then
// WTD_STATEACTION_CLOSE. Rules:
//   - the status is one of the statuses the library documents for a file
//     that can be read;
//   - the state exists after any verification, its provider data carries the
//     status, a success names a signer with a chain; closing answers 0,
//     clears the handle, and the closed handle is no longer followed;
//   - nothing is left in OpenSSL's error queue, and nothing leaks
//     (LeakSanitizer checks every input);
//   - the same bytes verified in memory give the same status; cut short
//     after opening, they give ERROR_READ_FAULT or that same status.
#include <fcntl.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/truncated_source.h"
#include "wintrust/base/openssl_ptr.h"
#include "wintrust/exports/wintrust.h"
#include "wintrust/testing/test_request.h"
#include "wintrust/verifier/trust_state.h"
#include "wintrust/verifier/verifier.h"

namespace {

const std::set<HRESULT> kDocumented = {
    0,
    TRUST_E_SUBJECT_FORM_UNKNOWN,
    TRUST_E_NOSIGNATURE,
    TRUST_E_BAD_DIGEST,
    TRUST_E_NO_SIGNER_CERT,
    TRUST_E_CERT_SIGNATURE,
    TRUST_E_BASIC_CONSTRAINTS,
    CERT_E_UNTRUSTEDROOT,
    CERT_E_CHAINING,
    CERT_E_EXPIRED,
    CERT_E_CRITICAL,
    CERT_E_WRONG_USAGE,
    NTE_BAD_ALGID,
    CRYPT_E_ASN1_BADTAG,
    CRYPT_E_ASN1_EOD,
    CRYPT_E_ASN1_LARGE,
};

// One file per process, rewritten for every input.
class ScratchFile {
 public:
  ScratchFile() {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr && dir[0] != 0 ? dir : "/tmp") + "/sigreport-fuzz-XXXXXX";
    fd_ = mkstemp(path_.data());
    FUZZ_CHECK(fd_ >= 0);
    widePath_.assign(path_.begin(), path_.end());  // mkstemp names are ASCII
  }
  ~ScratchFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  void Write(const uint8_t* data, size_t size) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    size_t done = 0;
    while (done < size) {
      ssize_t count = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      FUZZ_CHECK(count > 0);
      done += static_cast<size_t>(count);
    }
  }
  const char16_t* widePath() const { return widePath_.c_str(); }

 private:
  std::string path_;
  std::u16string widePath_;
  int fd_ = -1;
};

HRESULT VerifyInMemory(wintrust::ByteView bytes) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA request{};
  wintrust::TrustState state(&request, action);
  return wintrust::VerifyImage(bytes, "", &state);
}

HRESULT VerifyCut(wintrust::ByteView bytes, uint64_t kept) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA request{};
  wintrust::TrustState state(&request, action);
  return wintrust::VerifySource(fuzzing::TruncatedSource(bytes, kept), "", &state);
}

// The DER encoding of a name, as OpenSSL writes it.
wintrust::Bytes NameBytes(const X509_NAME* name) {
  unsigned char* out = nullptr;
  const int length = i2d_X509_NAME(name, &out);
  wintrust::Bytes bytes;
  if (length > 0) bytes.assign(out, out + length);
  OPENSSL_free(out);
  return bytes;
}

bool SameBlob(const CRYPT_DATA_BLOB& blob, const wintrust::Bytes& bytes) {
  return blob.cbData == bytes.size() && (bytes.empty() || std::memcmp(blob.pbData, bytes.data(), bytes.size()) == 0);
}

// Each certificate record holds an encoding OpenSSL reads back, and its
// issuer, subject and serial number are that certificate's. Reading the
// records whole also lets the sanitizer check every byte they point to.
void CheckCertificateRecord(const CERT_CONTEXT& context) {
  FUZZ_CHECK(context.pbCertEncoded != nullptr && context.cbCertEncoded > 0);
  const unsigned char* cursor = context.pbCertEncoded;
  wintrust::X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(context.cbCertEncoded)));
  FUZZ_CHECK(certificate != nullptr);
  FUZZ_CHECK(cursor == context.pbCertEncoded + context.cbCertEncoded);
  const CERT_INFO& info = *context.pCertInfo;
  FUZZ_CHECK(SameBlob(info.Issuer, NameBytes(X509_get_issuer_name(certificate.get()))));
  FUZZ_CHECK(SameBlob(info.Subject, NameBytes(X509_get_subject_name(certificate.get()))));
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate.get());
  wintrust::Bytes serialBytes(ASN1_STRING_get0_data(serial),
                              ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial));
  std::reverse(serialBytes.begin(), serialBytes.end());
  FUZZ_CHECK(SameBlob(info.SerialNumber, serialBytes));
  const CRYPT_BIT_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
  const ASN1_BIT_STRING* keyBits = X509_get0_pubkey_bitstr(certificate.get());
  FUZZ_CHECK(keyBits != nullptr && key.cbData == static_cast<DWORD>(ASN1_STRING_length(keyBits)));
  FUZZ_CHECK(key.cbData == 0 || std::memcmp(key.pbData, ASN1_STRING_get0_data(keyBits), key.cbData) == 0);
}

void ReadRecords(HANDLE handle, HRESULT status) {
  CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(handle);
  FUZZ_CHECK(data != nullptr);
  FUZZ_CHECK(static_cast<HRESULT>(data->dwFinalError) == status);
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
  if (status == 0) FUZZ_CHECK(signer != nullptr && signer->csCertChain >= 1);
  if (signer == nullptr) return;
  FUZZ_CHECK(static_cast<HRESULT>(signer->dwError) == status);
  for (DWORD i = 0; i < signer->csCertChain; ++i) {
    CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(signer, i);
    FUZZ_CHECK(cert != nullptr && cert->pCert != nullptr && cert->pCert->pCertInfo != nullptr);
    CheckCertificateRecord(*cert->pCert);
  }
  FUZZ_CHECK(WTHelperGetProvCertFromChain(signer, signer->csCertChain) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile* file = new ScratchFile;  // lives as long as the process
  file->Write(data, size);

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO fileInfo;
  WINTRUST_DATA request;
  FillFileRequest(file->widePath(), &fileInfo, &request);
  const HRESULT status = WinVerifyTrustEx(nullptr, &action, &request);
  FUZZ_CHECK(kDocumented.count(status) == 1);
  FUZZ_CHECK(ERR_peek_error() == 0);
  HANDLE handle = request.hWVTStateData;
  FUZZ_CHECK(handle != nullptr);
  ReadRecords(handle, status);

  request.dwStateAction = WTD_STATEACTION_CLOSE;
  FUZZ_CHECK(WinVerifyTrustEx(nullptr, &action, &request) == 0);
  FUZZ_CHECK(request.hWVTStateData == nullptr);
  FUZZ_CHECK(WTHelperProvDataFromStateData(handle) == nullptr);

  const wintrust::ByteView bytes(data, size);
  FUZZ_CHECK(VerifyInMemory(bytes) == status);
  ERR_clear_error();
  // Cut at a point that follows from the whole input.
  uint64_t hash = 1469598103934665603u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211u;
  const uint64_t kept = hash % (size + 1);
  const HRESULT cut = VerifyCut(bytes, kept);
  FUZZ_CHECK(cut == status || cut == wintrust::kErrorReadFault);
  ERR_clear_error();
  return 0;
}
