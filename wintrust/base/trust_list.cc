#include "wintrust/base/trust_list.h"

namespace wintrust {

DerError ForEachTrustedSubject(ByteView list, const std::function<bool(const TrustedSubject&)>& visit) {
  Tlv element;
  DerError error = ReadTlv(list, &element);
  if (error != DerError::kNone) return error;
  if (element.tag == der::kOctetString) {
    error = ReadTlv(element.content, &element);
    if (error != DerError::kNone) return error;
  }
  if (element.tag != der::kSequence) return DerError::kBadTag;

  // Every element before the subjects is optional or of a type of its own
  // but for subjectUsage and subjectAlgorithm: the subjects are the third
  // SEQUENCE, and a list without one has none.
  DerReader reader(element.content);
  Tlv part;
  int sequences = 0;
  while (sequences < 3) {
    if (reader.AtEnd()) return DerError::kNone;
    if (!reader.Next(&part)) return reader.error();
    if (part.tag == der::kSequence) ++sequences;
  }
  DerReader subjects(part.content);
  Tlv subject, identifier, attributes;
  while (!subjects.AtEnd()) {
    if (!subjects.Expect(der::kSequence, &subject)) return subjects.error();
    DerReader fields(subject.content);
    if (!fields.Expect(der::kOctetString, &identifier) || !fields.Optional(der::kSet, &attributes)) {
      return fields.error();
    }
    if (!visit(TrustedSubject{identifier.content, attributes.content})) break;
  }
  return DerError::kNone;
}

}  // namespace wintrust
