#include "wintrust/root_indexer/trust_list.h"

#include <algorithm>

#include "wintrust/base/der_reader.h"
#include "wintrust/base/trust_list.h"
#include "wintrust/signature/signed_data.h"

namespace wintrust {
namespace {

// 1.3.6.1.4.1.311.10.11: a certificate property carried as an attribute,
// the property's number as the last arc.
constexpr uint8_t kPropertyPrefix[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0A, 0x0B};
constexpr uint8_t kCodeSigning[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
constexpr uint8_t kTimeStamping[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08};

// The properties Windows applies to a root of the program.
constexpr uint32_t kEnhancedKeyUsage = 9;
constexpr uint32_t kDisallowedFiletime = 104;
constexpr uint32_t kDisallowedUsages = 122;
constexpr uint32_t kNotBeforeFiletime = 126;
constexpr uint32_t kNotBeforeUsages = 127;

// The property number an attribute type names, or nothing for other types.
std::optional<uint32_t> PropertyId(ByteView type) {
  ByteView prefix(kPropertyPrefix);
  if (type.size() <= prefix.size() || !SameBytes(type.first(prefix.size()), prefix)) return std::nullopt;
  uint32_t id = 0;
  ByteView arc = type.subspan(prefix.size());
  if (arc.size() > 4) return std::nullopt;
  for (size_t i = 0; i < arc.size(); ++i) {
    bool last = i + 1 == arc.size();
    if (((arc[i] & 0x80) == 0) != last) return std::nullopt;
    id = (id << 7) | (arc[i] & 0x7Fu);
  }
  return id;
}

// EnhancedKeyUsage ::= SEQUENCE OF OBJECT IDENTIFIER
std::optional<UsageList> ReadUsages(ByteView value) {
  Tlv list;
  if (ReadTlv(value, &list) != DerError::kNone || list.tag != der::kSequence) return std::nullopt;
  UsageList usages{.present = true};
  DerReader reader(list.content);
  Tlv usage;
  while (!reader.AtEnd()) {
    if (!reader.Expect(der::kOid, &usage)) return std::nullopt;
    if (SameBytes(usage.content, kCodeSigning)) usages.usages |= kUsageCodeSigning;
    if (SameBytes(usage.content, kTimeStamping)) usages.usages |= kUsageTimeStamping;
  }
  return usages;
}

// A FILETIME, 100-nanosecond intervals since 1601 in eight little-endian
// bytes, as seconds since 1970. The list carries a few date properties with
// no bytes at all: no date, as if the property were absent.
std::optional<PropertyTime> ReadFiletime(ByteView value) {
  if (value.empty()) return 0;
  if (value.size() != 8) return std::nullopt;
  uint64_t intervals = 0;
  for (size_t i = 8; i-- > 0;) intervals = (intervals << 8) | value[i];
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  return static_cast<PropertyTime>(intervals / 10000000) - kSecondsFrom1601To1970;
}

bool ApplyProperty(uint32_t id, ByteView value, RootLimits* limits) {
  std::optional<UsageList> usages;
  std::optional<PropertyTime> time;
  switch (id) {
    case kEnhancedKeyUsage:
      usages = ReadUsages(value);
      if (usages) limits->enabled = *usages;
      return usages.has_value();
    case kDisallowedUsages:
      usages = ReadUsages(value);
      if (usages) limits->disallowed = *usages;
      return usages.has_value();
    case kNotBeforeUsages:
      usages = ReadUsages(value);
      if (usages) limits->notBeforeUsages = *usages;
      return usages.has_value();
    case kDisallowedFiletime:
      time = ReadFiletime(value);
      if (time) limits->disabledFrom = *time;
      return time.has_value();
    case kNotBeforeFiletime:
      time = ReadFiletime(value);
      if (time) limits->notBefore = *time;
      return time.has_value();
    default:
      // Names, hashes and the root program's other properties change
      // nothing in an Authenticode verdict.
      return true;
  }
}

// Each attribute's value an OCTET STRING holding the property; the
// subject's identifier is the root's thumbprint.
std::optional<ListedRoot> ReadSubject(const TrustedSubject& subject) {
  if (subject.identifier.size() != 20) return std::nullopt;
  ListedRoot root;
  std::copy(subject.identifier.begin(), subject.identifier.end(), root.thumbprint.begin());
  DerReader attributeReader(subject.attributes);
  Tlv attribute, type, values, value;
  while (!attributeReader.AtEnd()) {
    if (!attributeReader.Expect(der::kSequence, &attribute)) return std::nullopt;
    DerReader inner(attribute.content);
    if (!inner.Expect(der::kOid, &type) || !inner.Expect(der::kSet, &values)) return std::nullopt;
    std::optional<uint32_t> id = PropertyId(type.content);
    if (!id) continue;
    DerReader valueReader(values.content);
    if (!valueReader.Expect(der::kOctetString, &value) || !ApplyProperty(*id, value.content, &root.limits)) {
      return std::nullopt;
    }
  }
  return root;
}

}  // namespace

std::optional<std::vector<ListedRoot>> ReadTrustList(ByteView signedList) {
  SignedData signedData;
  if (ParseSignedData(signedList, &signedData) != DerError::kNone ||
      !SameBytes(signedData.contentType, oid::kTrustList)) {
    return std::nullopt;
  }
  std::vector<ListedRoot> roots;
  bool wellFormed = true;
  DerError error = ForEachTrustedSubject(signedData.contentElement, [&](const TrustedSubject& subject) {
    std::optional<ListedRoot> root = ReadSubject(subject);
    if (root) roots.push_back(*root);
    wellFormed = root.has_value();
    return wellFormed;
  });
  if (error != DerError::kNone || !wellFormed) return std::nullopt;
  return roots;
}

std::string ThumbprintHex(const std::array<uint8_t, 20>& thumbprint) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : thumbprint) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace wintrust
