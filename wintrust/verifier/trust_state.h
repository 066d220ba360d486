// The verification state behind hWVTStateData: the provider data and every
// record it reaches, owned here until the closing call. The records are plain
// WinTrust and CryptoAPI structures whose pointers lead into storage this
// object owns; their addresses never change once handed out.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/openssl_ptr.h"
#include "wintrust/verifier/trust_records.h"

namespace wintrust {

class TrustState {
 public:
  TrustState(WINTRUST_DATA* request, const GUID& action);
  TrustState(const TrustState&) = delete;
  TrustState& operator=(const TrustState&) = delete;

  CRYPT_PROVIDER_DATA* providerData() { return &providerData_; }

  // Records the first signer: its chain as built (signing certificate first),
  // whether its last certificate is a trusted root, and the time the chain was
  // judged at. A later call replaces what an earlier one recorded: the
  // verifier records the signing certificate alone as soon as it is found, so
  // a failure after that still names the signer, and the whole chain once it
  // is built. Records handed out before a replacement are freed by it; the
  // signer's SignerInfo and counter-signer stay.
  void SetSigner(const std::vector<X509Ptr>& chain, bool rootTrusted, time_t verifiedAt);

  // Records the first signer's SignerInfo as psSigner: its digest
  // algorithm, given as the content octets of its OID.
  void SetSignerInfo(ByteView digestAlgorithmOid);

  // Records the first signer's valid time stamp as its one counter-signer:
  // the time it states as sftVerifyAsOf, and the chain of its signer as it
  // was judged, that signer's certificate first.
  void SetTimestamp(const std::vector<X509Ptr>& chain, time_t stampedAt);

  // Records the type of subject the file is verified as, the GUID Windows
  // registers for its format, in the provider data's pPDSip->gSubject.
  void SetSubjectType(const GUID& subjectType);

  // Records the final status of the verification.
  void SetFinalStatus(HRESULT status);

 private:
  // One certificate's context and information, with the bytes they point to.
  struct CertificateRecord {
    CERT_CONTEXT context{};
    CERT_INFO info{};
    Bytes encoded, serialLittleEndian, issuer, subject, keyBits;
    Bytes signatureParameters, keyParameters;
    std::string signatureOid, keyOid;
  };

  static std::unique_ptr<CertificateRecord> MakeRecord(X509* certificate);

  // A signer record with the chain entries and certificates it points to.
  struct SignerRecord {
    CRYPT_PROVIDER_SGNR signer{};
    std::vector<CRYPT_PROVIDER_CERT> chain;
    std::vector<std::unique_ptr<CertificateRecord>> records;
  };

  static void FillSigner(const std::vector<X509Ptr>& chain, bool rootTrusted, time_t verifiedAt, SignerRecord* record);

  GUID action_;
  CRYPT_PROVIDER_DATA providerData_{};
  PROVDATA_SIP sip_{};
  SignerRecord signer_;
  SignerRecord counterSigner_;
  CMSG_SIGNER_INFO signerInfo_{};
  std::string digestOid_;
};

// Seconds since 1970 as a FILETIME (100 ns units since 1601).
FILETIME ToFileTime(time_t seconds);

}  // namespace wintrust
