#include "wintrust/verifier/catalog_member.h"

#include <memory>
#include <utility>
#include <vector>

#include "wintrust/base/trust_list.h"
#include "wintrust/pe/pe_subject.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/subject/subject_digest.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

SubjectStatus MemberDigest(const ByteSource& member, const EVP_MD* md, Bytes* digest) {
  std::unique_ptr<Subject> image;
  const SubjectStatus opened = OpenPeSubject(member, &image);
  if (opened == SubjectStatus::kOk) return image->ComputeDigest(md, digest);
  if (opened != SubjectStatus::kNotThisFormat) return opened;
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  std::vector<uint8_t> buffer(kSubjectBufferSize);
  const SubjectStatus hashed = HashFileRange(context.get(), member, 0, member.size(), buffer);
  return hashed == SubjectStatus::kOk ? FinishDigest(context.get(), digest) : hashed;
}

}  // namespace

HRESULT FindCatalogMember(ByteView list, const ByteSource& member) {
  std::vector<std::pair<const EVP_MD*, Bytes>> digests;
  SubjectStatus status = SubjectStatus::kOk;
  bool found = false;
  const DerError error = ForEachTrustedSubject(list, [&](const TrustedSubject& subject) {
    for (ByteView value : AttributeValues(subject.attributes, oid::kSpcIndirectData)) {
      IndirectData indirect;
      if (!ParseIndirectData(value, &indirect)) continue;
      const EVP_MD* md = DigestForOid(indirect.digestAlgorithm);
      if (md == nullptr) continue;
      auto known = digests.begin();
      while (known != digests.end() && known->first != md) ++known;
      if (known == digests.end()) {
        Bytes digest;
        status = MemberDigest(member, md, &digest);
        if (status != SubjectStatus::kOk) return false;
        known = digests.emplace(digests.end(), md, std::move(digest));
      }
      if (SameBytes(known->second, indirect.digest)) {
        found = true;
        return false;
      }
    }
    return true;
  });
  if (status != SubjectStatus::kOk) return StatusOfSubject(status);
  if (error != DerError::kNone) return StatusOfDerError(error);
  return found ? 0 : TRUST_E_NOSIGNATURE;
}

}  // namespace wintrust
