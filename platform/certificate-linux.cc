#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/certificate.h"

namespace platform {
namespace {

struct X509NameFree {
  void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};

// The subject or issuer name alone, from the DER the certificate's
// information holds: decoding the whole certificate would decode its public
// key too, which in OpenSSL 3 walks the key decoders under the library's
// global locks, and two workers naming certificates would queue on them.
std::unique_ptr<X509_NAME, X509NameFree> DecodeName(PCCERT_CONTEXT certificate, bool ofIssuer) {
  if (certificate == nullptr || certificate->pCertInfo == nullptr) return nullptr;
  const CERT_NAME_BLOB& blob = ofIssuer ? certificate->pCertInfo->Issuer : certificate->pCertInfo->Subject;
  if (blob.pbData == nullptr) return nullptr;
  const unsigned char* at = blob.pbData;
  return std::unique_ptr<X509_NAME, X509NameFree>(d2i_X509_NAME(nullptr, &at, static_cast<long>(blob.cbData)));
}

bool ReadWhole(const std::string& path, std::string* content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  content->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

}  // namespace

std::string CertificateCommonName(PCCERT_CONTEXT certificate, bool ofIssuer) {
  const auto decoded = DecodeName(certificate, ofIssuer);
  if (!decoded) return {};
  const X509_NAME* name = decoded.get();
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

bool CertificateThumbprint(PCCERT_CONTEXT certificate, std::array<uint8_t, 20>* thumbprint) {
  if (certificate == nullptr || certificate->pbCertEncoded == nullptr) return false;
  SHA1(certificate->pbCertEncoded, certificate->cbCertEncoded, thumbprint->data());
  return true;
}

bool AddTrustedRootsForThisRun(const std::string& pemPath, std::string* error) {
  // The trust library reads the user's roots from the one file SSL_CERT_FILE
  // names. Both that file and the given one are joined in a file that lives
  // only in memory and goes with the process, named through /proc.
  std::string joined;
  if (!ReadWhole(pemPath, &joined)) {
    *error = "cannot read " + pemPath + ": " + std::strerror(errno);
    return false;
  }
  const char* earlier = secure_getenv("SSL_CERT_FILE");
  std::string earlierContent;
  if (earlier != nullptr && *earlier != 0 && ReadWhole(earlier, &earlierContent)) {
    joined = earlierContent + "\n" + joined;
  }
  const int fd = memfd_create("sigverify-roots", MFD_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot hold the roots: ") + std::strerror(errno);
    return false;
  }
  for (std::string_view rest = joined; !rest.empty();) {
    const ssize_t written = write(fd, rest.data(), rest.size());
    if (written <= 0) {
      *error = std::string("cannot hold the roots: ") + std::strerror(errno);
      close(fd);
      return false;
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
  // The descriptor stays open for the life of the process on purpose.
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  setenv("SSL_CERT_FILE", name.c_str(), 1);
  return true;
}

}  // namespace platform
