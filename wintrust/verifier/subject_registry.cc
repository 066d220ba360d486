// One row per format; a format without a row is not verified:
// TRUST_E_SUBJECT_FORM_UNKNOWN.
#include "wintrust/verifier/subject_registry.h"

#include <algorithm>
#include <array>

#include "wintrust/appx/appx_subject.h"
#include "wintrust/cab/cabinet.h"
#include "wintrust/catalog/catalog_subject.h"
#include "wintrust/msi/msi_subject.h"
#include "wintrust/pe/pe_subject.h"
#include "wintrust/script/powershell_script.h"

namespace wintrust {
namespace {

struct SubjectRow {
  SubjectFormat format;
  SubjectOpener open;
};

constexpr SubjectRow kSubjectOpeners[] = {
    {SubjectFormat::kPeImage, OpenPeSubject},       {SubjectFormat::kCabinet, OpenCabinetSubject},
    {SubjectFormat::kCompoundFile, OpenMsiSubject}, {SubjectFormat::kPowerShellScript, OpenPowerShellSubject},
    {SubjectFormat::kZip, OpenAppxSubject},         {SubjectFormat::kDerSignedData, OpenCatalogSubject},
};

}  // namespace

SubjectOpener FindSubjectOpener(SubjectFormat format) {
  for (const SubjectRow& row : kSubjectOpeners) {
    if (row.format == format) return row.open;
  }
  return nullptr;
}

SubjectStatus OpenSubject(const ByteSource& file, std::string_view fileName, std::unique_ptr<Subject>* subject) {
  subject->reset();
  std::array<uint8_t, kSubjectMagicSize> head{};
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(head.size(), file.size()));
  if (!file.Read(0, std::span<uint8_t>(head.data(), headSize))) return SubjectStatus::kReadFault;
  SubjectOpener opener = FindSubjectOpener(DetectSubjectFormat(ByteView(head.data(), headSize), fileName));
  if (opener == nullptr) return SubjectStatus::kNotThisFormat;
  return opener(file, subject);
}

}  // namespace wintrust
