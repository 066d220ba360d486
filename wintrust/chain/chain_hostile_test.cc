// Hostile certificate bags and keys: each costs what the budget allows and
// gives the status the chain must give.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509v3.h>

#include <chrono>

#include "wintrust/chain/chain_policy.h"
#include "wintrust/chain/chain_search.h"
#include "wintrust/chain/signature_budget.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

TEST_F(HostileInputTest, ThousandsOfCertificatesStayCheap) {
  constexpr size_t kCopies = 4000;
  const auto start = std::chrono::steady_clock::now();

  // Every certificate of the message repeated: the chain is still found.
  Bytes duplicated = EditCertificates([&](std::vector<Bytes>* certificates) {
    const std::vector<Bytes> original = *certificates;
    for (size_t i = 0; i < kCopies; ++i) {
      certificates->push_back(original[i % original.size()]);
    }
  });
  EXPECT_EQ(VerifyBytes(WithBlob(duplicated)), 0);

  // Thousands of distinct impostors of each certificate, ahead of the real
  // ones: the same names, keys and key identifiers, another serial number, so
  // the certificate authority's signature over them fails. Each is passed
  // over after one signature check, and the real chain is found.
  auto withImpostors = [&](size_t copies) {
    return EditCertificates([&](std::vector<Bytes>* certificates) {
      std::vector<Bytes> forged;
      for (size_t i = 0; i < copies; ++i) {
        Bytes copy = (*certificates)[i % certificates->size()];
        // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version,
        // serialNumber INTEGER, ... } ...}: change the serial's last bytes.
        std::vector<Bytes> outer = Children(ContentOf(copy));
        std::vector<Bytes> tbs = Children(ContentOf(outer[0]));
        Bytes& serial = tbs[1];
        EXPECT_EQ(serial[0], der::kInteger);
        serial[serial.size() - 1] = static_cast<uint8_t>(i);
        serial[serial.size() - 2] = static_cast<uint8_t>(i >> 8);
        outer[0] = Der(der::kSequence, Concat(tbs));
        Bytes impostor = Der(der::kSequence, Concat(outer));
        // A serial that happens to be the original's makes no impostor.
        if (impostor != copy) forged.push_back(impostor);
      }
      certificates->insert(certificates->begin(), forged.begin(), forged.end());
    });
  };
  EXPECT_EQ(VerifyBytes(WithBlob(withImpostors(kCopies))), 0);
  // Past the budget of signature checks (one ordinary check per impostor of
  // the intermediate) the search stops, and the chain OpenSSL builds from
  // the whole bag, through the first impostor, is judged.
  EXPECT_EQ(VerifyBytes(WithBlob(withImpostors(2 * (kSignatureBudget / kOrdinaryCheckCost + 100)))),
            TRUST_E_CERT_SIGNATURE);

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;

// An RSA public key with a modulus of `modulusBits` bits (any odd number:
// only its size matters here) and the exponent `exponent` (hex).
EvpPkeyPtr RsaPublicKey(int modulusBits, const char* exponent) {
  BIGNUM* n = BN_new();
  BIGNUM* e = nullptr;
  EXPECT_EQ(BN_set_bit(n, modulusBits - 1), 1);
  EXPECT_EQ(BN_set_bit(n, 0), 1);
  EXPECT_GT(BN_hex2bn(&e, exponent), 0);
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(EVP_PKEY_fromdata_init(context), 1);
  EXPECT_EQ(EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params), 1);
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(builder);
  BN_free(e);
  BN_free(n);
  return EvpPkeyPtr(key);
}

TEST_F(HostileInputTest, SignatureChecksCostTheirKeysAndKeysWindowsCannotLoadNone) {
  EXPECT_EQ(SignatureCheckCost(RsaPublicKey(2048, "10001").get()), kOrdinaryCheckCost);
  EXPECT_EQ(SignatureCheckCost(RsaPublicKey(4096, "10001").get()), 4 * kOrdinaryCheckCost);
  EXPECT_EQ(SignatureCheckCost(RsaPublicKey(2048, "FFFFFFFF").get()), 62u) << "31 squarings, 31 multiplications";
  EXPECT_EQ(SignatureCheckCost(RsaPublicKey(16384, "10001").get()), 64 * kOrdinaryCheckCost);
  EXPECT_FALSE(SignatureCheckCost(RsaPublicKey(2048, "100000001").get())) << "an exponent of 33 bits";
  EXPECT_FALSE(SignatureCheckCost(RsaPublicKey(16385, "10001").get())) << "a modulus past 16384 bits";
  EvpPkeyPtr p256(EVP_EC_gen("P-256"));
  EXPECT_EQ(SignatureCheckCost(p256.get()), 4 * kOrdinaryCheckCost);
  EvpPkeyPtr k256(EVP_EC_gen("secp256k1"));
  EXPECT_FALSE(SignatureCheckCost(k256.get())) << "a curve Windows does not name";
}

TEST_F(HostileInputTest, OneSignatureBudgetServesEveryChainOfAVerification) {
  // Impostors of the intermediate ahead of the real one: each costs one
  // ordinary check before the real one is found.
  Bytes file = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/pe64-impostor-intermediates.exe");
  PeImage image;
  ASSERT_EQ(ParsePeHeaders(file, &image), PeStatus::kOk);
  SignatureBlob signature;
  ASSERT_EQ(FindPkcs7Signature(MemorySource(file), image, &signature), PeStatus::kOk);
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(signature.bytes, &parsed), DerError::kNone);
  std::vector<X509Ptr> certificates = ParseCertificates(parsed.certificates);
  X509* signer = FindSignerCertificate(parsed.signers.front(), certificates);
  ASSERT_NE(signer, nullptr);
  TrustAnchors anchors(std::nullopt);
  const time_t now = time(nullptr);

  SignatureBudget alone;
  EXPECT_EQ(VerifyChain(signer, certificates, &anchors, now, RequiredUsage::kCodeSigning, &alone).status, 0);
  const uint64_t perSearch = alone.spent();
  ASSERT_GE(perSearch, 2 * kOrdinaryCheckCost) << "at least one impostor and the real intermediate are checked";

  // Enough for one search and a half: the second runs out before the real
  // intermediate, and its chain, through the first impostor, fails.
  SignatureBudget shared(perSearch + perSearch / 2);
  EXPECT_EQ(VerifyChain(signer, certificates, &anchors, now, RequiredUsage::kCodeSigning, &shared).status, 0);
  EXPECT_EQ(VerifyChain(signer, certificates, &anchors, now, RequiredUsage::kCodeSigning, &shared).status,
            TRUST_E_CERT_SIGNATURE);
  EXPECT_LE(shared.spent(), perSearch + perSearch / 2);
}

// An RSA key pair of 2048 bits with public exponent `exponent`.
EvpPkeyPtr RsaKeyPair(uint64_t exponent) {
  BIGNUM* e = BN_new();
  EXPECT_EQ(BN_set_word(e, exponent), 1);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(EVP_PKEY_keygen_init(context), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_keygen_bits(context, 2048), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, e), 1);
  EXPECT_EQ(EVP_PKEY_keygen(context, &key), 1);
  EVP_PKEY_CTX_free(context);
  BN_free(e);
  return EvpPkeyPtr(key);
}

// A certificate for `key` named `subject`, issued by `issuer` (its name) and
// signed with `signingKey`; a certificate authority's when `ca`, else a
// code-signing leaf's.
X509Ptr IssueCertificate(const char* subject, const char* issuer, EVP_PKEY* key, EVP_PKEY* signingKey, bool ca) {
  X509Ptr certificate(X509_new());
  EXPECT_EQ(X509_set_version(certificate.get(), X509_VERSION_3), 1);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  for (auto [name, text] : {std::pair{X509_get_subject_name(certificate.get()), subject},
                            std::pair{X509_get_issuer_name(certificate.get()), issuer}}) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(text), -1, -1, 0);
  }
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
  EXPECT_EQ(X509_set_pubkey(certificate.get(), key), 1);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, nullptr, certificate.get(), nullptr, nullptr, 0);
  for (const char* extension :
       ca ? std::vector<const char*>{"basicConstraints=critical,CA:TRUE"}
          : std::vector<const char*>{"basicConstraints=CA:FALSE", "extendedKeyUsage=codeSigning"}) {
    std::string text = extension;
    const size_t equals = text.find('=');
    X509_EXTENSION* made =
        X509V3_EXT_conf(nullptr, &context, text.substr(0, equals).c_str(), text.substr(equals + 1).c_str());
    EXPECT_NE(made, nullptr);
    X509_add_ext(certificate.get(), made, -1);
    X509_EXTENSION_free(made);
  }
  EXPECT_GT(X509_sign(certificate.get(), signingKey, EVP_sha256()), 0);
  return certificate;
}

TEST_F(HostileInputTest, AnIssuerWhoseKeyWindowsCannotLoadFailsTheSignature) {
  // A real chain whose intermediate's key has a public exponent of 33 bits:
  // OpenSSL verifies with it, Windows cannot load it. The root is nobody's,
  // so without the key's refusal the chain would end at an untrusted root.
  EvpPkeyPtr rootKey(EVP_EC_gen("P-256"));
  EvpPkeyPtr leafKey(EVP_EC_gen("P-256"));
  for (auto [exponent, status] :
       {std::pair{uint64_t{0x100000001}, TRUST_E_CERT_SIGNATURE}, std::pair{uint64_t{65537}, CERT_E_UNTRUSTEDROOT}}) {
    EvpPkeyPtr intermediateKey = RsaKeyPair(exponent);
    std::vector<X509Ptr> bag;
    bag.push_back(IssueCertificate("wide root", "wide root", rootKey.get(), rootKey.get(), true));
    bag.push_back(IssueCertificate("wide intermediate", "wide root", intermediateKey.get(), rootKey.get(), true));
    X509Ptr leaf = IssueCertificate("wide leaf", "wide intermediate", leafKey.get(), intermediateKey.get(), false);
    ASSERT_EQ(X509_verify(leaf.get(), intermediateKey.get()), 1) << "OpenSSL itself takes the key";
    TrustAnchors anchors(std::nullopt);
    SignatureBudget budget;
    EXPECT_EQ(VerifyChain(leaf.get(), bag, &anchors, time(nullptr), RequiredUsage::kCodeSigning, &budget).status,
              status)
        << "exponent " << exponent;
  }
}

}  // namespace
}  // namespace wintrust::test_support
