// The records a verification leaves in its state: each chain element's
// context and information as CryptoAPI lays them out, after a success and
// after a failure that got as far as the signer's chain.
#include "wintrust/verifier/trust_state.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/testing/test_support.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

X509Ptr ReadPem(const std::string& path) {
  FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) return nullptr;
  X509Ptr certificate(PEM_read_X509(in, nullptr, nullptr, nullptr));
  std::fclose(in);
  return certificate;
}

class TrustStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set"; }

  // Verifies a generated fixture into state_ and returns its status.
  HRESULT Verify(const std::string& file) {
    std::u16string path = test_support::ToUtf16(test_support::FixtureDir() + "/files/" + file);
    HRESULT status = VerifyFile(path.c_str(), &state_);
    state_.SetFinalStatus(status);
    return status;
  }
  const CRYPT_PROVIDER_SGNR* Signer() {
    const CRYPT_PROVIDER_DATA* data = state_.providerData();
    return data->csSigners == 1 ? &data->pasSigners[0] : nullptr;
  }

  WINTRUST_DATA request_{};
  TrustState state_{&request_, GUID{}};
};

TEST_F(TrustStateTest, EachChainElementDescribesItsCertificate) {
  ASSERT_EQ(Verify("pe64-rsa-sha256.exe"), 0);
  const CRYPT_PROVIDER_SGNR* signer = Signer();
  ASSERT_NE(signer, nullptr);
  ASSERT_EQ(signer->csCertChain, 3u);

  // Compare each chain element with the certificate file it came from.
  const char* names[] = {"leaf-rsa", "intermediate", "root"};
  for (DWORD i = 0; i < 3; ++i) {
    const CRYPT_PROVIDER_CERT& cert = signer->pasCertChain[i];
    ASSERT_NE(cert.pCert, nullptr);
    ASSERT_NE(cert.pCert->pCertInfo, nullptr);
    X509Ptr expected = ReadPem(test_support::FixtureDir() + "/pki/sha256/" + names[i] + ".crt");
    ASSERT_TRUE(expected) << names[i];
    unsigned char* der = nullptr;
    int derLength = i2d_X509(expected.get(), &der);
    ASSERT_GT(derLength, 0);
    EXPECT_TRUE(SameBytes(ByteView(cert.pCert->pbCertEncoded, cert.pCert->cbCertEncoded),
                          ByteView(der, static_cast<size_t>(derLength))))
        << names[i];
    OPENSSL_free(der);

    const CERT_INFO& info = *cert.pCert->pCertInfo;
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(expected.get());
    EXPECT_TRUE(
        SameBytes(ByteView(info.SubjectPublicKeyInfo.PublicKey.pbData, info.SubjectPublicKeyInfo.PublicKey.cbData),
                  ByteView(ASN1_STRING_get0_data(bits), static_cast<size_t>(ASN1_STRING_length(bits)))));
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(info.dwVersion, 2u);
    // CryptoAPI stores the serial number least significant byte first.
    const ASN1_INTEGER* serial = X509_get0_serialNumber(expected.get());
    Bytes reversed(ASN1_STRING_get0_data(serial), ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial));
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_TRUE(SameBytes(ByteView(info.SerialNumber.pbData, info.SerialNumber.cbData), reversed));
    EXPECT_EQ(cert.fTrustedRoot != 0, i == 2);
    EXPECT_EQ(cert.fSelfSigned != 0, i == 2);
  }
  // The leaf is valid from 2024-01-01 00:00:00 UTC.
  const FILETIME& notBefore = signer->pasCertChain[0].pCert->pCertInfo->NotBefore;
  uint64_t ticks = (uint64_t{notBefore.dwHighDateTime} << 32) | notBefore.dwLowDateTime;
  EXPECT_EQ(ticks, (uint64_t{1704067200} + 11644473600u) * 10000000u);
}

TEST_F(TrustStateTest, ExpiredSignerIsStillReadable) {
  EXPECT_EQ(Verify("pe64-sha256-expired.exe"), CERT_E_EXPIRED);
  const CRYPT_PROVIDER_SGNR* signer = Signer();
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(signer->dwError, static_cast<DWORD>(CERT_E_EXPIRED));
  ASSERT_GE(signer->csCertChain, 1u);
  EXPECT_NE(signer->pasCertChain[0].pCert, nullptr);
  EXPECT_EQ(state_.providerData()->dwFinalError, static_cast<DWORD>(CERT_E_EXPIRED));
}

// Each row: a fixture, its status, then what its state must hold: the
// signer's chain length (0: no signer), its digest algorithm's OID, and the
// time its valid time stamp states (0: no counter-signer).
TEST_F(TrustStateTest, SignerDigestAndTimestampAreKeptWhateverTheVerdict) {
  constexpr uint64_t kStampedAt2024 = 1704153600, kStampedAt2020 = 1590969600;
  const struct {
    const char* file;
    HRESULT status;
    DWORD chainLength;
    const char* digestOid;
    uint64_t stampedAt;
  } rows[] = {
      {"pe64-timestamped.exe", 0, 3, "2.16.840.1.101.3.4.2.1", kStampedAt2024},
      {"pe64-sha256-expired-timestamped.exe", 0, 3, "2.16.840.1.101.3.4.2.1", kStampedAt2020},
      {"pe64-rsa-sha1.exe", 0, 3, "1.3.14.3.2.26", 0},
      // The file's digest fails before any chain is built: the signer alone.
      {"pe64-tampered-code.exe", TRUST_E_BAD_DIGEST, 1, "2.16.840.1.101.3.4.2.1", 0},
      {"pe64-untrusted-sha1-root.exe", CERT_E_UNTRUSTEDROOT, 3, "2.16.840.1.101.3.4.2.1", 0},
      {"pe64-unsigned.exe", TRUST_E_NOSIGNATURE, 0, nullptr, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    TrustState state(&request_, GUID{});
    std::u16string path = test_support::ToUtf16(test_support::FixtureDir() + "/files/" + row.file);
    EXPECT_EQ(VerifyFile(path.c_str(), &state), row.status);
    const CRYPT_PROVIDER_DATA* data = state.providerData();
    const CRYPT_PROVIDER_SGNR* signer = data->csSigners == 1 ? &data->pasSigners[0] : nullptr;
    if (row.chainLength == 0) {
      EXPECT_EQ(signer, nullptr);
      continue;
    }
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->csCertChain, row.chainLength);
    ASSERT_NE(signer->psSigner, nullptr);
    EXPECT_STREQ(signer->psSigner->HashAlgorithm.pszObjId, row.digestOid);
    if (row.stampedAt == 0) {
      EXPECT_EQ(signer->csCounterSigners, 0u);
      continue;
    }
    ASSERT_EQ(signer->csCounterSigners, 1u);
    const CRYPT_PROVIDER_SGNR& counter = signer->pasCounterSigners[0];
    uint64_t ticks = (uint64_t{counter.sftVerifyAsOf.dwHighDateTime} << 32) | counter.sftVerifyAsOf.dwLowDateTime;
    EXPECT_EQ(ticks, (row.stampedAt + 11644473600u) * 10000000u);
    ASSERT_GE(counter.csCertChain, 1u);
    EXPECT_TRUE(counter.pasCertChain[counter.csCertChain - 1].fTrustedRoot);
  }
}

}  // namespace
}  // namespace wintrust
