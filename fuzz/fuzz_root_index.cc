// The root program's index as a verification reads it (roots/root_index.h)
// and the anchors made from it (roots/trust_anchors.h). The input is opened
// as it is, and again with its header's checksum made right, so that the
// table behind it is reached. Rules:
//   - an index opens only when its header's checksum is the SHA-256 of the
//     table it claims;
//   - in an index that opens, every entry lies inside the file, the entries
//     are in order of name hash and each is found by its hash; a certificate
//     is read back only as the file's bytes at its entry, and only when
//     their SHA-1 is the entry's thumbprint;
//   - the anchors made from it hold only certificates that are an entry's,
//     under their subject's hash, find every entry filed under its
//     certificate's subject, give a root the limits of its entry, and say
//     the index is damaged exactly when a root asked for does not read back;
//   - reading the index leaves nothing in OpenSSL's error queue.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "wintrust/roots/root_index.h"
#include "wintrust/roots/trust_anchors.h"

namespace {

using wintrust::Bytes;
using wintrust::RootIndex;
using wintrust::RootLimits;
using wintrust::UsageList;
namespace layout = wintrust::root_index;

// Anchors are asked for at most this many entries' subjects per input, which
// keeps an input of a thousand entries fast.
constexpr size_t kMaxAsked = 64;

using Thumbprint = std::array<uint8_t, 20>;

Thumbprint Sha1(const uint8_t* data, size_t size) {
  Thumbprint digest{};
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(data, size, digest.data(), &length, EVP_sha1(), nullptr) == 1);
  return digest;
}

Thumbprint Sha1Of(X509* certificate) {
  Thumbprint digest{};
  unsigned int length = 0;
  FUZZ_CHECK(X509_digest(certificate, EVP_sha1(), digest.data(), &length) == 1);
  return digest;
}

uint32_t NameHash(const X509_NAME* name) {
  int ok = 0;
  return static_cast<uint32_t>(X509_NAME_hash_ex(name, nullptr, nullptr, &ok));
}

uint32_t Le32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// The size of the header and table the input's header claims; 0 when the
// input is too short for them.
size_t ClaimedSize(const Bytes& input) {
  if (input.size() < layout::kHeaderSize) return 0;
  const uint64_t size = layout::kHeaderSize + uint64_t{Le32(input.data() + 12)} * layout::kEntrySize;
  return size <= input.size() ? static_cast<size_t>(size) : 0;
}

bool ChecksumHolds(const Bytes& input) {
  const size_t end = ClaimedSize(input);
  if (end == 0) return false;
  uint8_t digest[32];
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(input.data() + layout::kHeaderSize, end - layout::kHeaderSize, digest, &length, EVP_sha256(),
                        nullptr) == 1);
  return std::memcmp(digest, input.data() + layout::kChecksumOffset, sizeof digest) == 0;
}

void MakeChecksumHold(Bytes* input) {
  const size_t end = ClaimedSize(*input);
  if (end == 0) return;
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(input->data() + layout::kHeaderSize, end - layout::kHeaderSize,
                        input->data() + layout::kChecksumOffset, &length, EVP_sha256(), nullptr) == 1);
}

bool SameUsages(const UsageList& a, const UsageList& b) {
  return a.present == b.present && a.usages == b.usages;
}

bool SameLimits(const RootLimits& a, const RootLimits& b) {
  return SameUsages(a.enabled, b.enabled) && SameUsages(a.disallowed, b.disallowed) &&
         a.disabledFrom == b.disabledFrom && a.notBefore == b.notBefore &&
         SameUsages(a.notBeforeUsages, b.notBeforeUsages);
}

// The certificate an entry reads back as; null when it does not.
wintrust::X509Ptr Decode(const Bytes& der) {
  const unsigned char* cursor = der.data();
  return wintrust::X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

// The entries as the layout puts them, read here independently of the
// reader under test.
struct Listed {
  uint32_t nameHash;
  uint32_t derOffset;
  uint32_t derLength;
  Thumbprint thumbprint;
  RootLimits limits;
};

UsageList UsagesAt(const uint8_t* at) {
  return UsageList{.present = at[0] != 0, .usages = at[1]};
}

int64_t Le64(const uint8_t* at) {
  return static_cast<int64_t>(uint64_t{Le32(at + 4)} << 32 | Le32(at));
}

std::vector<Listed> ListEntries(const Bytes& input) {
  std::vector<Listed> entries(Le32(input.data() + 12));
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint8_t* at = input.data() + layout::kHeaderSize + i * layout::kEntrySize;
    Listed& entry = entries[i];
    entry.nameHash = Le32(at);
    entry.derOffset = Le32(at + 4);
    entry.derLength = Le32(at + 8);
    std::copy_n(at + 12, 20, entry.thumbprint.begin());
    entry.limits.disabledFrom = Le64(at + 32);
    entry.limits.notBefore = Le64(at + 40);
    entry.limits.enabled = UsagesAt(at + 48);
    entry.limits.disallowed = UsagesAt(at + 50);
    entry.limits.notBeforeUsages = UsagesAt(at + 52);
  }
  return entries;
}

// The reader's entry for `listed`, found by its name hash.
const RootIndex::Entry* Found(const RootIndex& index, const Listed& listed) {
  for (const RootIndex::Entry& entry : index.WithNameHash(listed.nameHash)) {
    FUZZ_CHECK(entry.nameHash == listed.nameHash);
    if (entry.derOffset == listed.derOffset && entry.derLength == listed.derLength &&
        entry.thumbprint == listed.thumbprint && SameLimits(entry.limits, listed.limits)) {
      return &entry;
    }
  }
  return nullptr;
}

void CheckTable(const Bytes& input, const RootIndex& index, const std::vector<Listed>& entries) {
  FUZZ_CHECK(index.size() == entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const Listed& listed = entries[i];
    FUZZ_CHECK(listed.derLength > 0 && listed.derOffset <= input.size() &&
               listed.derLength <= input.size() - listed.derOffset);
    if (i > 0) FUZZ_CHECK(entries[i - 1].nameHash <= listed.nameHash);
    const RootIndex::Entry* entry = Found(index, listed);
    FUZZ_CHECK(entry != nullptr);
    const Bytes der = index.Der(*entry);
    const uint8_t* bytes = input.data() + listed.derOffset;
    if (Sha1(bytes, listed.derLength) == listed.thumbprint) {
      FUZZ_CHECK(der.size() == listed.derLength && std::equal(der.begin(), der.end(), bytes));
    } else {
      FUZZ_CHECK(der.empty());
    }
  }
}

void CheckAnchors(const RootIndex& index, const std::vector<Listed>& entries) {
  wintrust::TrustAnchors anchors(&index);
  bool damaged = false;
  for (size_t i = 0; i < std::min(entries.size(), kMaxAsked); ++i) {
    wintrust::X509Ptr certificate = Decode(index.Der(*Found(index, entries[i])));
    if (!certificate) continue;
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    const uint32_t hash = NameHash(subject);
    const std::vector<X509*> roots = anchors.WithSubject(subject);
    // What the anchors should have read: every entry under the hash.
    std::vector<Thumbprint> expected;
    for (const Listed& listed : entries) {
      if (listed.nameHash != hash) continue;
      wintrust::X509Ptr root = Decode(index.Der(*Found(index, listed)));
      if (!root) {
        damaged = true;
      } else if (X509_NAME_cmp(X509_get_subject_name(root.get()), subject) == 0) {
        expected.push_back(listed.thumbprint);
      }
    }
    FUZZ_CHECK(anchors.indexDamaged() == damaged);
    FUZZ_CHECK(roots.size() == expected.size());
    for (X509* root : roots) {
      const Thumbprint thumbprint = Sha1Of(root);
      FUZZ_CHECK(std::find(expected.begin(), expected.end(), thumbprint) != expected.end());
      // The limits are those of the first entry under the hash with the
      // root's thumbprint.
      const RootLimits* limits = anchors.LimitsOf(root);
      FUZZ_CHECK(limits != nullptr);
      const auto first = std::find_if(entries.begin(), entries.end(), [&](const Listed& listed) {
        return listed.nameHash == hash && listed.thumbprint == thumbprint;
      });
      FUZZ_CHECK(first != entries.end() && SameLimits(*limits, first->limits));
    }
    if (entries[i].nameHash == hash) {
      FUZZ_CHECK(std::find(expected.begin(), expected.end(), entries[i].thumbprint) != expected.end());
    }
    ERR_clear_error();  // what the decoding of damaged roots left
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Only the index's roots: none of the user's.
  unsetenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_DIR");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes input(data, data + size);
  if (RootIndex::FromBytes(input)) FUZZ_CHECK(ChecksumHolds(input));
  MakeChecksumHold(&input);
  std::optional<RootIndex> index = RootIndex::FromBytes(input);
  if (index) {
    const std::vector<Listed> entries = ListEntries(input);
    CheckTable(input, *index, entries);
    FUZZ_CHECK(ERR_peek_error() == 0);
    CheckAnchors(*index, entries);
  }
  ERR_clear_error();
  return 0;
}
