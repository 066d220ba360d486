#include "wintrust/root_indexer/root_index_builder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "wintrust/roots/root_index.h"

namespace wintrust {
namespace {

using root_index::kChecksumOffset;
using root_index::kEntrySize;
using root_index::kFormat;
using root_index::kHeaderSize;
using root_index::kMagic;

void PutUsages(Bytes* out, const UsageList& usages) {
  out->push_back(usages.present ? 1 : 0);
  out->push_back(usages.usages);
}

std::array<uint8_t, 20> Thumbprint(X509* certificate) {
  std::array<uint8_t, 20> thumbprint{};
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha1(), thumbprint.data(), &length);
  return thumbprint;
}

}  // namespace

std::optional<Bytes> BuildRootIndex(const std::vector<ListedRoot>& listed, const std::vector<X509Ptr>& certificates,
                                    std::string* error) {
  std::map<std::array<uint8_t, 20>, const RootLimits*> limits;
  for (const ListedRoot& root : listed) limits[root.thumbprint] = &root.limits;

  struct Pending {
    uint32_t nameHash;
    std::array<uint8_t, 20> thumbprint;
    const RootLimits* limits;
    Bytes der;
  };
  std::vector<Pending> pending;
  for (const X509Ptr& certificate : certificates) {
    std::array<uint8_t, 20> thumbprint = Thumbprint(certificate.get());
    auto found = limits.find(thumbprint);
    if (found == limits.end()) {
      *error = "certificate " + ThumbprintHex(thumbprint) + " is not in the trust list";
      return std::nullopt;
    }
    int ok = 0;
    auto nameHash =
        static_cast<uint32_t>(X509_NAME_hash_ex(X509_get_subject_name(certificate.get()), nullptr, nullptr, &ok));
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate.get(), &der);
    if (!ok || length <= 0) {
      OPENSSL_free(der);
      *error = "certificate " + ThumbprintHex(thumbprint) + " cannot be encoded";
      return std::nullopt;
    }
    pending.push_back({nameHash, thumbprint, found->second, Bytes(der, der + length)});
    OPENSSL_free(der);
    limits.erase(found);
  }
  if (!limits.empty()) {
    *error = "the trust list names " + ThumbprintHex(limits.begin()->first) + ", which is not among the certificates";
    return std::nullopt;
  }
  std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
    return std::tie(a.nameHash, a.thumbprint) < std::tie(b.nameHash, b.thumbprint);
  });

  Bytes out(kMagic, kMagic + sizeof kMagic);
  AppendLe(&out, kFormat, 4);
  AppendLe(&out, static_cast<uint32_t>(pending.size()), 4);
  out.resize(kHeaderSize);  // the checksum, written once the table is
  uint64_t derOffset = kHeaderSize + kEntrySize * pending.size();
  for (const Pending& root : pending) {
    AppendLe(&out, root.nameHash, 4);
    AppendLe(&out, static_cast<uint32_t>(derOffset), 4);
    AppendLe(&out, static_cast<uint32_t>(root.der.size()), 4);
    out.insert(out.end(), root.thumbprint.begin(), root.thumbprint.end());
    AppendLe(&out, static_cast<uint64_t>(root.limits->disabledFrom), 8);
    AppendLe(&out, static_cast<uint64_t>(root.limits->notBefore), 8);
    PutUsages(&out, root.limits->enabled);
    PutUsages(&out, root.limits->disallowed);
    PutUsages(&out, root.limits->notBeforeUsages);
    out.push_back(0);
    out.push_back(0);
    derOffset += root.der.size();
  }
  unsigned int checksumLength = 0;
  if (EVP_Digest(out.data() + kHeaderSize, out.size() - kHeaderSize, out.data() + kChecksumOffset, &checksumLength,
                 EVP_sha256(), nullptr) != 1) {
    *error = "the table's checksum cannot be computed";
    return std::nullopt;
  }
  for (const Pending& root : pending) out.insert(out.end(), root.der.begin(), root.der.end());
  return out;
}

}  // namespace wintrust
