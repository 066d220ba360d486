// Checks of one SignerInfo: its certificate among the message's, its
// messageDigest attribute, and its signature over the authenticated
// attributes (RSA PKCS#1 v1.5, RSASSA-PSS or ECDSA).
#pragma once

#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/chain/certificate_bag.h"
#include "wintrust/signature/signed_data.h"

namespace wintrust {

// The X.509 certificates among `elements`; ones OpenSSL cannot read are left out.
std::vector<X509Ptr> ParseCertificates(const std::vector<ByteView>& elements);

// The certificate in `certificates` the signer names by issuer and serial
// number, or by subject key identifier; null when there is none.
X509* FindSignerCertificate(const SignerInfo& signer, CertificateBag* certificates);

enum class SignerCheck {
  kOk,
  kUnsupportedDigest,  // a digest algorithm (the signer's, or RSASSA-PSS's
                       // hashes) outside the policy of DigestForOid
  kDigestMismatch,     // messageDigest missing or not the content's digest
  kBadSignature,       // the signature does not verify with the certificate
};

// What an RSA PKCS#1 v1.5 signature may hold once its padding is removed.
enum class RsaPayload {
  kDigestInfo,  // the digest inside a DigestInfo naming its algorithm, as PKCS #1 asks
  // That, or exactly the bare digest of the signed bytes, as time-stamp
  // authorities of the years around 2010 signed their legacy
  // countersignatures (docs/DESIGN.md, "Legacy countersignatures over a
  // bare digest").
  kDigestInfoOrBareDigest,
};

// Checks that `signer` signed `content` (SignedData::signedContent, or for a
// legacy countersignature the signature value it countersigns) with the key
// of `certificate`.
SignerCheck VerifySigner(const SignerInfo& signer, X509* certificate, ByteView content,
                         RsaPayload rsaPayload = RsaPayload::kDigestInfo);

}  // namespace wintrust
