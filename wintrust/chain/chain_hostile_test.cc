// Hostile certificate bags and keys: each costs what the budget allows and
// gives the status the chain must give.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509v3.h>

#include <chrono>

#include "wintrust/chain/certificate_bag.h"
#include "wintrust/chain/chain_policy.h"
#include "wintrust/chain/chain_search.h"
#include "wintrust/chain/public_key_decoder.h"
#include "wintrust/chain/signature_budget.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/testing/certificate_maker.h"
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
  // What lies past the budget is in chain/chain_search_test.cc.

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

using test_support::EvpPkeyPtr;

// The SubjectPublicKeyInfo of `key`, and what a check with it costs.
Bytes InfoOf(const EvpPkeyPtr& key) {
  unsigned char* encoded = nullptr;
  int length = i2d_PUBKEY(key.get(), &encoded);
  Bytes info(encoded, encoded + (length > 0 ? length : 0));
  OPENSSL_free(encoded);
  return info;
}
std::optional<uint64_t> CostOf(const EvpPkeyPtr& key) {
  return SignatureCheckCost(InfoOf(key));
}

TEST_F(HostileInputTest, SignatureChecksCostTheirKeysAndKeysWindowsCannotLoadNone) {
  EXPECT_EQ(CostOf(test_support::RsaPublicKey(2048, "10001")), kOrdinaryCheckCost);
  EXPECT_EQ(CostOf(test_support::RsaPublicKey(4096, "10001")), 4 * kOrdinaryCheckCost);
  EXPECT_EQ(CostOf(test_support::RsaPublicKey(2048, "FFFFFFFF")), 62u) << "31 squarings, 31 multiplications";
  EXPECT_EQ(CostOf(test_support::RsaPublicKey(16384, "10001")), 64 * kOrdinaryCheckCost);
  EXPECT_FALSE(CostOf(test_support::RsaPublicKey(2048, "100000001"))) << "an exponent of 33 bits";
  EXPECT_FALSE(CostOf(test_support::RsaPublicKey(16385, "10001"))) << "a modulus past 16384 bits";
  EvpPkeyPtr p256(EVP_EC_gen("P-256"));
  EXPECT_EQ(CostOf(p256), 4 * kOrdinaryCheckCost);
  EXPECT_EQ(CostOf(EvpPkeyPtr(EVP_EC_gen("P-384"))), 40 * kOrdinaryCheckCost);
  EvpPkeyPtr k256(EVP_EC_gen("secp256k1"));
  EXPECT_FALSE(CostOf(k256)) << "a curve Windows does not name";
  // The P-256 key with its parameters in another form than a named curve's
  // identifier (explicit parameters could be anyone's), or cut short.
  Bytes info = InfoOf(p256);
  Bytes explicitCurve = info;
  ASSERT_EQ(explicitCurve[13], der::kOid) << "SEQUENCE { SEQUENCE { OID, OID }, BIT STRING }";
  explicitCurve[13] = der::kSequence;
  EXPECT_FALSE(SignatureCheckCost(explicitCurve));
  EXPECT_FALSE(SignatureCheckCost(ByteView(info).first(info.size() - 1)));
}

TEST_F(HostileInputTest, OneKeyDecoderReadsEveryCandidatesKeyAfterBytesThatAreNone) {
  PublicKeyDecoder keys;
  EvpPkeyPtr p256(EVP_EC_gen("P-256"));
  EvpPkeyPtr rsa = test_support::RsaPublicKey(2048, "10001");
  Bytes info = InfoOf(p256);
  EXPECT_EQ(keys.Decode(ByteView(info).first(info.size() - 1)), nullptr);
  for (const EvpPkeyPtr* key : {&p256, &rsa, &p256}) {
    EvpPkeyPtr decoded = keys.Decode(InfoOf(*key));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(decoded.get(), key->get()), 1);
  }
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
  // Each search has a bag of its own, as each verification has: what one
  // bag has decoded, another search would not pay for.
  CertificateBag certificates(parsed.certificates);
  X509* signer = FindSignerCertificate(parsed.signers.front(), &certificates);
  ASSERT_NE(signer, nullptr);
  TrustAnchors anchors(nullptr);
  const time_t now = time(nullptr);

  SignatureBudget alone;
  ChainSearch first(&certificates, &anchors, &alone);
  EXPECT_EQ(VerifyChain(signer, &first, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  const uint64_t perSearch = alone.spent();
  ASSERT_GE(perSearch, 2 * kOrdinaryCheckCost) << "at least one impostor and the real intermediate are checked";

  // Two searches on a budget for one search and a half: the second runs out
  // before the real intermediate, and its chain, through the first
  // impostor, fails.
  SignatureBudget shared(perSearch + perSearch / 2);
  CertificateBag forOne(parsed.certificates);
  CertificateBag forAnother(parsed.certificates);
  ChainSearch one(&forOne, &anchors, &shared);
  ChainSearch another(&forAnother, &anchors, &shared);
  EXPECT_EQ(VerifyChain(signer, &one, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(VerifyChain(signer, &another, nullptr, now, RequiredUsage::kCodeSigning).status, TRUST_E_CERT_SIGNATURE);
  EXPECT_LE(shared.spent(), perSearch + perSearch / 2);
  // One search for both chains: the second pays nothing, its issuer proven.
  SignatureBudget once;
  CertificateBag forBoth(parsed.certificates);
  ChainSearch both(&forBoth, &anchors, &once);
  EXPECT_EQ(VerifyChain(signer, &both, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(VerifyChain(signer, &both, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(once.spent(), perSearch);
}

TEST_F(HostileInputTest, AnIssuerWhoseKeyWindowsCannotLoadFailsTheSignature) {
  // A real chain whose intermediate's key has a public exponent of 33 bits:
  // OpenSSL verifies with it, Windows cannot load it. The root is nobody's,
  // so without the key's refusal the chain would end at an untrusted root.
  EvpPkeyPtr rootKey(EVP_EC_gen("P-256"));
  EvpPkeyPtr leafKey(EVP_EC_gen("P-256"));
  for (auto [exponent, status] :
       {std::pair{uint64_t{0x100000001}, TRUST_E_CERT_SIGNATURE}, std::pair{uint64_t{65537}, CERT_E_UNTRUSTEDROOT}}) {
    EvpPkeyPtr intermediateKey = test_support::RsaKeyPair(exponent);
    std::vector<X509Ptr> bag;
    bag.push_back(test_support::IssueCertificate("wide root", "wide root", rootKey.get(), rootKey.get(), true));
    bag.push_back(
        test_support::IssueCertificate("wide intermediate", "wide root", intermediateKey.get(), rootKey.get(), true));
    X509Ptr leaf =
        test_support::IssueCertificate("wide leaf", "wide intermediate", leafKey.get(), intermediateKey.get(), false);
    ASSERT_EQ(X509_verify(leaf.get(), intermediateKey.get()), 1) << "OpenSSL itself takes the key";
    TrustAnchors anchors(nullptr);
    SignatureBudget budget;
    std::vector<Bytes> encoded = test_support::EncodeCertificates(bag);
    CertificateBag certificates(std::vector<ByteView>(encoded.begin(), encoded.end()));
    ChainSearch search(&certificates, &anchors, &budget);
    EXPECT_EQ(VerifyChain(leaf.get(), &search, nullptr, time(nullptr), RequiredUsage::kCodeSigning).status, status)
        << "exponent " << exponent;
  }
}

}  // namespace
}  // namespace wintrust::test_support
