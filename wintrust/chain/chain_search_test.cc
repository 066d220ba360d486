// Chains found through bags that someone padded: a file's certificates are
// outside what its signature covers, so anyone can add to them, in any
// number and at any place.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "wintrust/chain/chain_policy.h"
#include "wintrust/testing/certificate_maker.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

using test_support::EvpPkeyPtr;
using test_support::IssueCertificate;

constexpr char kRootName[] = "padded bag root";
constexpr char kIntermediateName[] = "padded bag intermediate";

enum class Padding {
  kUnrelated,          // P-256 certificates of other names
  kOrdinaryImpostors,  // the intermediate's name, RSA 2048 keys, exponent 65537
  kCostlyImpostors,    // the intermediate's name, RSA 4096 keys: four times the cost
};

struct PaddedBag {
  const char* description;
  Padding padding;
  size_t count;     // placed ahead of the real certificates
  uint64_t budget;  // in units of SignatureBudget
  HRESULT status;
};

class ChainSearchTest : public ::testing::TestWithParam<PaddedBag> {
 protected:
  static void SetUpTestSuite() {
    rootKey_ = EVP_EC_gen("P-256");
    intermediateKey_ = test_support::RsaKeyPair(65537).release();
  }
  static void TearDownTestSuite() {
    EVP_PKEY_free(rootKey_);
    EVP_PKEY_free(intermediateKey_);
  }
  static EVP_PKEY* rootKey_;
  static EVP_PKEY* intermediateKey_;
};
EVP_PKEY* ChainSearchTest::rootKey_ = nullptr;
EVP_PKEY* ChainSearchTest::intermediateKey_ = nullptr;

TEST_P(ChainSearchTest, PaddingAheadOfTheRealIssuer) {
  const PaddedBag& row = GetParam();
  X509Ptr root = IssueCertificate(kRootName, kRootName, rootKey_, rootKey_, true);
  char pattern[] = "/tmp/wintrust-chain-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string rootFile = std::string(pattern) + "/root.pem";
  {
    FILE* out = std::fopen(rootFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    PEM_write_X509(out, root.get());
    std::fclose(out);
  }
  test_support::ScopedEnvironment file("SSL_CERT_FILE", rootFile);
  test_support::ScopedEnvironment directory("SSL_CERT_DIR", "");

  EvpPkeyPtr leafKey(EVP_EC_gen("P-256"));
  std::vector<X509Ptr> bag;
  for (size_t i = 0; i < row.count; ++i) {
    switch (row.padding) {
      case Padding::kUnrelated: {
        EvpPkeyPtr key(EVP_EC_gen("P-256"));
        std::string name = "unrelated " + std::to_string(i);
        bag.push_back(IssueCertificate(name.c_str(), "unrelated issuer", key.get(), key.get(), true));
        break;
      }
      case Padding::kOrdinaryImpostors:
      case Padding::kCostlyImpostors: {
        EvpPkeyPtr key = test_support::RsaPublicKey(row.padding == Padding::kOrdinaryImpostors ? 2048 : 4096, "10001");
        bag.push_back(IssueCertificate(kIntermediateName, kRootName, key.get(), rootKey_, true));
        break;
      }
    }
  }
  bag.push_back(IssueCertificate(kIntermediateName, kRootName, intermediateKey_, rootKey_, true));
  X509Ptr leaf = IssueCertificate("padded bag leaf", kIntermediateName, leafKey.get(), intermediateKey_, false);
  std::vector<Bytes> encoded = test_support::EncodeCertificates(bag);
  std::vector<ByteView> elements(encoded.begin(), encoded.end());

  TrustAnchors anchors(nullptr);
  SignatureBudget budget(row.budget);
  CertificateBag certificates(elements);
  ChainSearch search(&certificates, &anchors, &budget);
  EXPECT_EQ(VerifyChain(leaf.get(), &search, nullptr, time(nullptr), RequiredUsage::kCodeSigning).status, row.status);
  if (row.padding == Padding::kUnrelated) {
    EXPECT_EQ(certificates.decoded(), 1u) << "only the intermediate could be on the chain";
  }
  // A second chain through the same intermediate (a countersignature's)
  // tries the issuer already proven first.
  if (row.status == 0) {
    uint64_t spent = budget.spent();
    X509Ptr other =
        IssueCertificate("padded bag other leaf", kIntermediateName, leafKey.get(), intermediateKey_, false);
    EXPECT_EQ(VerifyChain(other.get(), &search, nullptr, time(nullptr), RequiredUsage::kCodeSigning).status, 0);
    EXPECT_LE(budget.spent() - spent, kOrdinaryCheckCost);
  }
  std::remove(rootFile.c_str());
  rmdir(pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Bags, ChainSearchTest,
    ::testing::Values(
        PaddedBag{"thousands of unrelated certificates", Padding::kUnrelated, 3000, 100 * kOrdinaryCandidateCost, 0},
        PaddedBag{"more ordinary impostors than the old budget of 4096 checks", Padding::kOrdinaryImpostors, 4200,
                  kSignatureBudget, 0},
        PaddedBag{"costly impostors worth ten budgets", Padding::kCostlyImpostors, 300, 75 * kOrdinaryCandidateCost, 0},
        PaddedBag{"more ordinary impostors than the budget pays for", Padding::kOrdinaryImpostors, 200,
                  100 * kOrdinaryCandidateCost, TRUST_E_CERT_SIGNATURE},
        // The real intermediate verifies and is decoded, the root's check
        // cannot be paid: OpenSSL would pass the chain from the bag.
        PaddedBag{"a budget that runs out at the root's check", Padding::kCostlyImpostors, 1,
                  kOrdinaryCandidateCost + kDecodingCost + kOrdinaryCheckCost, TRUST_E_CERT_SIGNATURE}),
    test_support::DescribedTestName<PaddedBag>);

}  // namespace
}  // namespace wintrust
