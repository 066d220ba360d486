#include "wintrust/subject/subject.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "wintrust/base/der_reader.h"

namespace wintrust {
namespace {

constexpr uint8_t kCabinetMagic[] = {'M', 'S', 'C', 'F'};
constexpr uint8_t kCompoundFileMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint8_t kPeMagic[] = {'M', 'Z'};
constexpr uint8_t kZipMagic[] = {'P', 'K', 3, 4};

bool StartsWith(ByteView head, ByteView magic) {
  return head.size() >= magic.size() && SameBytes(head.first(magic.size()), magic);
}

// A SEQUENCE (definite length of up to four octets, or indefinite) whose
// first element is the signedData OID, as far as the head holds it and at
// least the OID's tag and length. Eight bytes cannot hold the encapsulated
// content's type; the opener checks that.
bool OpensSignedData(ByteView head) {
  DerHeader sequence;
  if (ReadDerHeader(head, &sequence) != DerError::kNone || sequence.tag != der::kSequence) return false;
  if (head.size() < sequence.size + 2) return false;
  const ByteView element = head.subspan(sequence.size);
  if (element[0] != der::kOid || element[1] != oid::kSignedData.size()) return false;
  const ByteView held = element.subspan(2, std::min(element.size() - 2, oid::kSignedData.size()));
  return SameBytes(held, oid::kSignedData.first(held.size()));
}

// The name's extension after its last dot, in lower case; empty when the
// last path component has no dot.
std::string LowerExtension(std::string_view fileName) {
  const size_t slash = fileName.find_last_of('/');
  const std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  const size_t dot = base.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(base.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return extension;
}

}  // namespace

SubjectFormat DetectSubjectFormat(ByteView head, std::string_view fileName) {
  if (StartsWith(head, kPeMagic)) return SubjectFormat::kPeImage;
  if (StartsWith(head, kCabinetMagic)) return SubjectFormat::kCabinet;
  if (StartsWith(head, kCompoundFileMagic)) return SubjectFormat::kCompoundFile;
  if (StartsWith(head, kZipMagic)) return SubjectFormat::kZip;
  if (OpensSignedData(head)) return SubjectFormat::kDerSignedData;
  const std::string extension = LowerExtension(fileName);
  if (extension == "ps1" || extension == "psm1" || extension == "psd1") {
    return SubjectFormat::kPowerShellScript;
  }
  return SubjectFormat::kUnknown;
}

}  // namespace wintrust
