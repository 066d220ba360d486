#include "wintrust/testing/certificate_maker.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509v3.h>

#include <string>
#include <utility>

namespace wintrust::test_support {

EvpPkeyPtr RsaPublicKey(int modulusBits, const char* exponent) {
  BIGNUM* n = BN_new();
  BIGNUM* e = nullptr;
  EXPECT_EQ(BN_rand(n, modulusBits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD), 1);
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

std::vector<Bytes> EncodeCertificates(const std::vector<X509Ptr>& certificates) {
  std::vector<Bytes> encoded;
  for (const X509Ptr& certificate : certificates) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate.get(), &der);
    EXPECT_GT(length, 0);
    encoded.emplace_back(der, der + std::max(length, 0));
    OPENSSL_free(der);
  }
  return encoded;
}

}  // namespace wintrust::test_support
