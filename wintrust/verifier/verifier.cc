#include "wintrust/verifier/verifier.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "wintrust/base/file_source.h"
#include "wintrust/chain/chain_policy.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/signature/timestamp.h"
#include "wintrust/subject/subject_digest.h"
#include "wintrust/verifier/catalog_member.h"
#include "wintrust/verifier/subject_registry.h"

namespace wintrust {
namespace {

HRESULT FromOpenError(FileOpenError error) {
  switch (error) {
    case FileOpenError::kNotFound:
      return kErrorFileNotFound;
    case FileOpenError::kAccessDenied:
    case FileOpenError::kNotRegular:
      // CreateFile refuses a directory with ERROR_ACCESS_DENIED.
      return kErrorAccessDenied;
    default:
      return kErrorReadFault;
  }
}

// A certificate with the lifetime-signing usage (1.3.6.1.4.1.311.10.3.13)
// signs only for as long as it is valid: a timestamp does not extend it.
bool HasLifetimeSigning(X509* certificate) {
  ExtendedKeyUsagePtr usages(
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr)));
  if (!usages) return false;
  static constexpr uint8_t kLifetimeSigning[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0A, 0x03, 0x0D};
  for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    const ASN1_OBJECT* usage = sk_ASN1_OBJECT_value(usages.get(), i);
    if (SameBytes(ByteView(OBJ_get0_data(usage), OBJ_length(usage)), kLifetimeSigning)) return true;
  }
  return false;
}

// The digest algorithm and value the signature names for the subject's
// content, from where the subject's format keeps them.
HRESULT NamedDigest(const Subject& subject, const SignedData& signedData, const EVP_MD** md, ByteView* digest) {
  if (subject.DigestNamedBy() == Subject::DigestHolder::kIndirectData) {
    // SignedData that is not Authenticode's (no indirect data) carries no
    // signature of the file.
    if (!SameBytes(signedData.contentType, oid::kSpcIndirectData)) return TRUST_E_NOSIGNATURE;
    // Version 1 carries the SpcIndirectDataContent as the content SEQUENCE
    // itself, version 3 (CMS) inside an OCTET STRING eContent;
    // contentElement is its encoding either way.
    IndirectData indirect;
    if (!ParseIndirectData(signedData.contentElement, &indirect)) return CRYPT_E_ASN1_BADTAG;
    *md = DigestForOid(indirect.digestAlgorithm);
    *digest = indirect.digest;
    return *md == nullptr ? NTE_BAD_ALGID : 0;
  }
  // A catalog: the content is its certificate trust list, a SEQUENCE, and
  // the primary signer's messageDigest attribute names its digest.
  Tlv list;
  if (!SameBytes(signedData.contentType, oid::kTrustList)) return TRUST_E_NOSIGNATURE;
  if (ReadTlv(signedData.contentElement, &list) != DerError::kNone || list.tag != der::kSequence) {
    return CRYPT_E_ASN1_BADTAG;
  }
  const SignerInfo& signer = signedData.signers.front();
  *md = DigestForOid(signer.digestAlgorithm);
  if (*md == nullptr) return NTE_BAD_ALGID;
  Tlv attributes, value;
  std::vector<ByteView> digests;
  if (ReadTlv(signer.authAttributes, &attributes) == DerError::kNone) {
    digests = AttributeValues(attributes.content, oid::kMessageDigest);
  }
  // Without the attribute the signature does not cover the list: the same
  // verdict as a signer whose attribute does not match.
  if (digests.size() != 1 || ReadTlv(digests[0], &value) != DerError::kNone || value.tag != der::kOctetString) {
    return TRUST_E_BAD_DIGEST;
  }
  *digest = value.content;
  return 0;
}

HRESULT VerifyUnderAnchors(const ByteSource& file, std::string_view fileName, const ByteSource* member,
                           TrustAnchors* anchors, TrustState* state) {
  std::unique_ptr<Subject> subject;
  GUID subjectType{};
  SubjectStatus subjectStatus = OpenSubject(file, fileName, &subject, &subjectType);
  if (subjectStatus != SubjectStatus::kOk) return StatusOfSubject(subjectStatus);
  state->SetSubjectType(subjectType);
  // Only a catalog's content lists members.
  if (member != nullptr && subject->DigestNamedBy() != Subject::DigestHolder::kSignerAttribute) {
    return TRUST_E_SUBJECT_FORM_UNKNOWN;
  }
  Bytes blob;
  subjectStatus = subject->ReadSignature(&blob);
  if (subjectStatus != SubjectStatus::kOk) return StatusOfSubject(subjectStatus);

  SignedData signedData;
  DerError derError = ParseSignedData(blob, &signedData);
  if (derError != DerError::kNone) return StatusOfDerError(derError);
  // A file the catalog does not list is unsigned as far as the catalog
  // goes, whatever the catalog's own signature would say: the catalog is
  // looked up first, as Windows finds the catalogs that hold a file's
  // digest before it judges one.
  if (member != nullptr) {
    const HRESULT found = FindCatalogMember(signedData.contentElement, *member);
    if (found != 0) return found;
  }
  if (signedData.signers.empty()) return TRUST_E_NOSIGNATURE;
  // Only the primary signer counts; nested signatures live in its
  // unauthenticated attributes and are not looked at. Once the signature is
  // read, its signer is recorded whatever the verdict, as Windows keeps it:
  // a file changed after signing still names who signed it.
  const SignerInfo& signer = signedData.signers.front();
  state->SetSignerInfo(signer.digestAlgorithm);
  CertificateBag certificates(signedData.certificates);
  X509* signerCertificate = FindSignerCertificate(signer, &certificates);
  time_t now = time(nullptr);
  if (signerCertificate != nullptr) {
    std::vector<X509Ptr> alone;
    if (X509_up_ref(signerCertificate)) alone.emplace_back(signerCertificate);
    state->SetSigner(alone, false, now);
  }
  const EVP_MD* md = nullptr;
  ByteView namedDigest;
  HRESULT named = NamedDigest(*subject, signedData, &md, &namedDigest);
  if (named != 0) return named;
  Bytes digest;
  subjectStatus = SubjectDigest(*subject, signedData, md, &digest);
  if (subjectStatus != SubjectStatus::kOk) return StatusOfSubject(subjectStatus);
  if (!SameBytes(digest, namedDigest)) return TRUST_E_BAD_DIGEST;

  if (signerCertificate == nullptr) return TRUST_E_NO_SIGNER_CERT;
  switch (VerifySigner(signer, signerCertificate, signedData.signedContent)) {
    case SignerCheck::kOk:
      break;
    case SignerCheck::kUnsupportedDigest:
      return NTE_BAD_ALGID;
    case SignerCheck::kDigestMismatch:
    case SignerCheck::kBadSignature:
      // Windows reports a signer whose message digest or signature does not
      // verify as "the digital signature of the object did not verify".
      return TRUST_E_BAD_DIGEST;
  }

  // One search, and one budget, for every chain of this verification. The
  // budget is sized against the candidates a bag within the cap can hold.
  static_assert(kMaxBagBytes == kMaxSignatureSize);
  SignatureBudget budget;
  ChainSearch search(&certificates, anchors, &budget);
  // The signer's chain is searched first, so that the budget pays for its
  // checks before any countersignature's: anyone can add countersignatures
  // whose chains would spend it. Judged again at a time-stamp's time, it
  // finds the checks it needs already paid.
  ChainOutcome chain = VerifyChain(signerCertificate, &search, nullptr, now, RequiredUsage::kCodeSigning);
  TimestampSearch timestamp = FindValidTimestamp(signer, &search);
  if (timestamp.unsupportedAlgorithm) return NTE_BAD_ALGID;
  if (timestamp.time) state->SetTimestamp(timestamp.chain, *timestamp.time);
  time_t when = HasLifetimeSigning(signerCertificate) ? now : timestamp.time.value_or(now);
  if (when != now) chain = VerifyChain(signerCertificate, &search, nullptr, when, RequiredUsage::kCodeSigning);
  state->SetSigner(chain.chain, chain.rootTrusted, when);
  return chain.status;
}

}  // namespace

HRESULT StatusOfDerError(DerError error) {
  // WinTrust passes on what its ASN.1 decoder says: a wrong tag, or data
  // that ends inside an element.
  return error == DerError::kEndOfData ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG;
}

HRESULT StatusOfSubject(SubjectStatus status) {
  switch (status) {
    case SubjectStatus::kOk:
      return 0;
    case SubjectStatus::kNotThisFormat:
      return TRUST_E_SUBJECT_FORM_UNKNOWN;
    case SubjectStatus::kNoSignature:
      return TRUST_E_NOSIGNATURE;
    case SubjectStatus::kTooLarge:
      // The ASN.1 decoder's "value too large": the blob is refused before
      // it is decoded.
      return CRYPT_E_ASN1_LARGE;
    case SubjectStatus::kBadDigest:
      return TRUST_E_BAD_DIGEST;
    case SubjectStatus::kReadFault:
      return kErrorReadFault;
    case SubjectStatus::kLibraryFailed:
      break;
  }
  return E_OUTOFMEMORY;
}

SubjectStatus SubjectDigest(const Subject& subject, const SignedData& signedData, const EVP_MD* md, Bytes* digest) {
  if (subject.DigestNamedBy() == Subject::DigestHolder::kIndirectData) return subject.ComputeDigest(md, digest);
  // The signed content is in memory already: hashing it here spares the
  // catalog a second read and decoding of its file.
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  SubjectStatus status = HashBytes(context.get(), signedData.signedContent);
  return status == SubjectStatus::kOk ? FinishDigest(context.get(), digest) : status;
}

HRESULT VerifySource(const ByteSource& file, std::string_view fileName, TrustState* state) {
  return VerifyMember(file, fileName, nullptr, state);
}

HRESULT VerifyMember(const ByteSource& file, std::string_view fileName, const ByteSource* member, TrustState* state) {
  // Without the program's roots no verdict means anything: a missing or
  // damaged index is reported as what it is, never as an untrusted root.
  const RootIndex* index = InstalledRootIndex();
  if (index == nullptr) return TRUST_E_SYSTEM_ERROR;
  TrustAnchors anchors(index);
  const HRESULT status = VerifyUnderAnchors(file, fileName, member, &anchors, state);
  return anchors.indexDamaged() ? TRUST_E_SYSTEM_ERROR : status;
}

HRESULT VerifySource(const ByteSource& file, std::string_view fileName, TrustAnchors* anchors, TrustState* state) {
  HRESULT status = VerifyUnderAnchors(file, fileName, nullptr, anchors, state);
  return anchors->indexDamaged() ? TRUST_E_SYSTEM_ERROR : status;
}

HRESULT VerifyInMemory(ByteView file, std::string_view fileName, TrustState* state) {
  return VerifySource(MemorySource(file), fileName, state);
}

HRESULT VerifyFile(const char16_t* path, TrustState* state) {
  auto bytesPath = Utf16PathToBytes(path);
  if (!bytesPath) return kErrorInvalidName;
  FileOpenError error;
  std::unique_ptr<FileSource> file = FileSource::Open(*bytesPath, &error);
  if (!file) return FromOpenError(error);
  return VerifySource(*file, *bytesPath, state);
}

HRESULT VerifyCatalogMember(const char16_t* catalogPath, const char16_t* memberPath, TrustState* state) {
  auto catalogBytesPath = Utf16PathToBytes(catalogPath);
  auto memberBytesPath = Utf16PathToBytes(memberPath);
  if (!catalogBytesPath || !memberBytesPath) return kErrorInvalidName;
  FileOpenError error;
  std::unique_ptr<FileSource> member = FileSource::Open(*memberBytesPath, &error);
  if (!member) return FromOpenError(error);
  std::unique_ptr<FileSource> catalog = FileSource::Open(*catalogBytesPath, &error);
  if (!catalog) return FromOpenError(error);
  return VerifyMember(*catalog, *catalogBytesPath, member.get(), state);
}

}  // namespace wintrust
