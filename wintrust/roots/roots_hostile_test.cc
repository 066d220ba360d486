// The user's roots given as files that are no regular files: skipped at
// once, never waited on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

TEST_F(HostileInputTest, UserRootsThatAreNoRegularFileAreSkippedAtOnce) {
  // A FIFO without a writer would block a reader that waits for one.
  const std::string fifo = dir_ + "/roots.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    test_support::ScopedEnvironment file("SSL_CERT_FILE", fifo);
    test_support::ScopedEnvironment directory("SSL_CERT_DIR", "");
    EXPECT_EQ(VerifyBytes(signed_), CERT_E_CHAINING) << "no root is read from the FIFO";
  }
  // The same FIFO as HASH.0 for the issuer of every certificate of the
  // message; the roots of SSL_CERT_FILE still anchor the chain.
  const std::string hashed = dir_ + "/hashed";
  ASSERT_EQ(mkdir(hashed.c_str(), 0700), 0);
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  for (const X509Ptr& certificate : ParseCertificates(parsed.certificates)) {
    int ok = 0;
    char name[32];
    std::snprintf(name, sizeof name, "/%08lx.0",
                  X509_NAME_hash_ex(X509_get_issuer_name(certificate.get()), nullptr, nullptr, &ok));
    ASSERT_TRUE(ok);
    std::string path = hashed + name;
    ASSERT_TRUE(mkfifo(path.c_str(), 0600) == 0 || errno == EEXIST) << path;
  }
  test_support::ScopedEnvironment directory("SSL_CERT_DIR", hashed);
  EXPECT_EQ(VerifyBytes(signed_), 0) << "the FIFOs are skipped";
}

}  // namespace
}  // namespace wintrust::test_support
