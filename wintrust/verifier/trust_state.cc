#include "wintrust/verifier/trust_state.h"

#include <openssl/objects.h>

#include <algorithm>

namespace wintrust {
namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

Bytes CopyOf(const unsigned char* data, int length) {
  if (data == nullptr || length <= 0) return {};
  return Bytes(data, data + length);
}

// The DER encoding of an object, through OpenSSL's i2d function for its type.
template <typename T, typename Encoder>
Bytes Encode(const T* object, Encoder encode) {
  unsigned char* out = nullptr;
  int length = encode(object, &out);
  Bytes bytes = CopyOf(out, length);
  OPENSSL_free(out);
  return bytes;
}

std::string OidText(const ASN1_OBJECT* object) {
  char text[128];
  int length = OBJ_obj2txt(text, sizeof text, object, 1);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return {};
  return std::string(text, static_cast<size_t>(length));
}

// The encoded parameters of an algorithm identifier, or nothing when absent.
Bytes Parameters(const X509_ALGOR* algorithm) {
  const void* value = nullptr;
  int type = 0;
  X509_ALGOR_get0(nullptr, &type, &value, algorithm);
  if (type == V_ASN1_NULL) return Bytes{0x05, 0x00};
  if (type == V_ASN1_UNDEF || value == nullptr) return {};
  ASN1_TYPE* wrapper = ASN1_TYPE_new();
  if (wrapper == nullptr) return {};
  // ASN1_TYPE_set1 copies the value, so the wrapper owns what it frees.
  Bytes bytes;
  if (ASN1_TYPE_set1(wrapper, type, value) == 1) {
    bytes = Encode(wrapper, [](const ASN1_TYPE* t, unsigned char** out) { return i2d_ASN1_TYPE(t, out); });
  }
  ASN1_TYPE_free(wrapper);
  return bytes;
}

FILETIME AsnTimeToFileTime(const ASN1_TIME* value) {
  struct tm broken {};
  if (value == nullptr || ASN1_TIME_to_tm(value, &broken) != 1) return FILETIME{};
  return ToFileTime(timegm(&broken));
}

CRYPT_DATA_BLOB Blob(Bytes& bytes) {
  return CRYPT_DATA_BLOB{static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : bytes.data()};
}

}  // namespace

FILETIME ToFileTime(time_t seconds) {
  int64_t ticks = (static_cast<int64_t>(seconds) + kSecondsFrom1601To1970) * 10000000;
  uint64_t value = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

TrustState::TrustState(WINTRUST_DATA* request, const GUID& action) : action_(action) {
  providerData_.cbStruct = sizeof(CRYPT_PROVIDER_DATA);
  providerData_.pWintrustData = request;
  providerData_.pgActionID = &action_;
  providerData_.dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  providerData_.dwSubjectChoice = WTD_CHOICE_FILE;
  // Present from the start, as Windows allocates it, and left all zero
  // until a format is found for the file.
  sip_.cbStruct = sizeof(PROVDATA_SIP);
  providerData_.pPDSip = &sip_;
  providerData_.sftSystemTime = ToFileTime(time(nullptr));
}

std::unique_ptr<TrustState::CertificateRecord> TrustState::MakeRecord(X509* certificate) {
  auto record = std::make_unique<CertificateRecord>();
  record->encoded = Encode(certificate, [](const X509* x, unsigned char** out) { return i2d_X509(x, out); });
  // CryptoAPI keeps serial numbers least significant byte first.
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
  record->serialLittleEndian = CopyOf(ASN1_STRING_get0_data(serial), ASN1_STRING_length(serial));
  std::reverse(record->serialLittleEndian.begin(), record->serialLittleEndian.end());
  record->issuer = Encode(X509_get_issuer_name(certificate),
                          [](const X509_NAME* n, unsigned char** out) { return i2d_X509_NAME(n, out); });
  record->subject = Encode(X509_get_subject_name(certificate),
                           [](const X509_NAME* n, unsigned char** out) { return i2d_X509_NAME(n, out); });
  const X509_ALGOR* signatureAlgorithm = nullptr;
  X509_get0_signature(nullptr, &signatureAlgorithm, certificate);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, signatureAlgorithm);
  record->signatureOid = OidText(object);
  record->signatureParameters = Parameters(signatureAlgorithm);

  X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(certificate);
  X509_ALGOR* keyAlgorithm = nullptr;
  const unsigned char* keyBits = nullptr;
  int keyLength = 0;
  X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLength, &keyAlgorithm, publicKey);
  X509_ALGOR_get0(&object, nullptr, nullptr, keyAlgorithm);
  record->keyOid = OidText(object);
  record->keyParameters = Parameters(keyAlgorithm);
  // The subjectPublicKey BIT STRING's content after its unused-bits octet.
  record->keyBits = CopyOf(keyBits, keyLength);
  const ASN1_BIT_STRING* bitString = X509_get0_pubkey_bitstr(certificate);
  DWORD unusedBits = 0;
  if (bitString != nullptr && (bitString->flags & ASN1_STRING_FLAG_BITS_LEFT)) {
    unusedBits = static_cast<DWORD>(bitString->flags & 0x07);
  }

  CERT_INFO& info = record->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(certificate));
  info.SerialNumber = Blob(record->serialLittleEndian);
  info.SignatureAlgorithm.pszObjId = record->signatureOid.data();
  info.SignatureAlgorithm.Parameters = Blob(record->signatureParameters);
  info.Issuer = Blob(record->issuer);
  info.NotBefore = AsnTimeToFileTime(X509_get0_notBefore(certificate));
  info.NotAfter = AsnTimeToFileTime(X509_get0_notAfter(certificate));
  info.Subject = Blob(record->subject);
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = record->keyOid.data();
  info.SubjectPublicKeyInfo.Algorithm.Parameters = Blob(record->keyParameters);
  CRYPT_DATA_BLOB keyBlob = Blob(record->keyBits);
  info.SubjectPublicKeyInfo.PublicKey = CRYPT_BIT_BLOB{keyBlob.cbData, keyBlob.pbData, unusedBits};

  CERT_CONTEXT& context = record->context;
  context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  context.pbCertEncoded = record->encoded.empty() ? nullptr : record->encoded.data();
  context.cbCertEncoded = static_cast<DWORD>(record->encoded.size());
  context.pCertInfo = &record->info;
  return record;
}

void TrustState::FillSigner(const std::vector<X509Ptr>& chain, bool rootTrusted, time_t verifiedAt,
                            SignerRecord* record) {
  record->records.clear();
  record->chain.clear();
  for (const X509Ptr& certificate : chain) {
    record->records.push_back(MakeRecord(certificate.get()));
  }
  record->chain.resize(record->records.size());
  for (size_t i = 0; i < record->records.size(); ++i) {
    CRYPT_PROVIDER_CERT& entry = record->chain[i];
    entry = CRYPT_PROVIDER_CERT{};
    entry.cbStruct = sizeof(CRYPT_PROVIDER_CERT);
    entry.pCert = &record->records[i]->context;
    X509* certificate = chain[i].get();
    entry.fSelfSigned = X509_check_issued(certificate, certificate) == X509_V_OK;
    entry.fTrustedRoot = rootTrusted && i + 1 == record->records.size();
  }
  record->signer = CRYPT_PROVIDER_SGNR{};
  record->signer.cbStruct = sizeof(CRYPT_PROVIDER_SGNR);
  record->signer.sftVerifyAsOf = ToFileTime(verifiedAt);
  record->signer.csCertChain = static_cast<DWORD>(record->chain.size());
  record->signer.pasCertChain = record->chain.empty() ? nullptr : record->chain.data();
}

void TrustState::SetSigner(const std::vector<X509Ptr>& chain, bool rootTrusted, time_t verifiedAt) {
  FillSigner(chain, rootTrusted, verifiedAt, &signer_);
  if (!digestOid_.empty()) signer_.signer.psSigner = &signerInfo_;
  if (counterSigner_.signer.cbStruct != 0) {
    signer_.signer.csCounterSigners = 1;
    signer_.signer.pasCounterSigners = &counterSigner_.signer;
  }
  providerData_.csSigners = 1;
  providerData_.pasSigners = &signer_.signer;
}

void TrustState::SetSignerInfo(ByteView digestAlgorithmOid) {
  // The OID's content octets, wrapped in their tag and length for OpenSSL.
  Bytes element{0x06};
  if (digestAlgorithmOid.size() > 127) return;
  element.push_back(static_cast<uint8_t>(digestAlgorithmOid.size()));
  element.insert(element.end(), digestAlgorithmOid.begin(), digestAlgorithmOid.end());
  const unsigned char* at = element.data();
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &at, static_cast<long>(element.size()));
  if (object == nullptr) return;
  digestOid_ = OidText(object);
  ASN1_OBJECT_free(object);
  if (digestOid_.empty()) return;
  signerInfo_ = CMSG_SIGNER_INFO{};
  signerInfo_.dwVersion = 1;
  signerInfo_.HashAlgorithm.pszObjId = digestOid_.data();
  if (providerData_.csSigners != 0) signer_.signer.psSigner = &signerInfo_;
}

void TrustState::SetTimestamp(const std::vector<X509Ptr>& chain, time_t stampedAt) {
  // Only a valid time stamp is recorded: its chain ended at a trusted root.
  FillSigner(chain, true, stampedAt, &counterSigner_);
  if (providerData_.csSigners != 0) {
    signer_.signer.csCounterSigners = 1;
    signer_.signer.pasCounterSigners = &counterSigner_.signer;
  }
}

void TrustState::SetSubjectType(const GUID& subjectType) {
  sip_.gSubject = subjectType;
}

void TrustState::SetFinalStatus(HRESULT status) {
  providerData_.dwFinalError = static_cast<DWORD>(status);
  if (providerData_.csSigners != 0) signer_.signer.dwError = static_cast<DWORD>(status);
}

}  // namespace wintrust
