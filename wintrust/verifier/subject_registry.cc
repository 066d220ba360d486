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
  GUID type;  // as Windows registers the format's subject interface package
};

constexpr SubjectRow kSubjectOpeners[] = {
    {SubjectFormat::kPeImage,
     OpenPeSubject,
     {0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
    {SubjectFormat::kCabinet,
     OpenCabinetSubject,
     {0xC689AABA, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
    {SubjectFormat::kCompoundFile,
     OpenMsiSubject,
     {0x000C10F1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}},
    {SubjectFormat::kPowerShellScript,
     OpenPowerShellSubject,
     {0x603BCC1F, 0x4B59, 0x4E08, {0xB7, 0x24, 0xD2, 0xC6, 0x29, 0x7E, 0xF3, 0x51}}},
    {SubjectFormat::kZip,
     OpenAppxSubject,
     {0x0AC5DF4B, 0xCE07, 0x4DE2, {0xB7, 0x6E, 0x23, 0xC8, 0x39, 0xA0, 0x9F, 0xD1}}},
    {SubjectFormat::kDerSignedData,
     OpenCatalogSubject,
     {0xDE351A43, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
};

// A package bundle's own subject type, beside the package's.
constexpr GUID kAppxBundleType = {0x0F5F58B3, 0xAADE, 0x4B9A, {0xA4, 0x34, 0x95, 0x74, 0x2D, 0x92, 0xEC, 0xEB}};

const SubjectRow* FindRow(SubjectFormat format) {
  for (const SubjectRow& row : kSubjectOpeners) {
    if (row.format == format) return &row;
  }
  return nullptr;
}

}  // namespace

SubjectFormat DetectSubjectFormat(ByteView head, std::string_view fileName) {
  // A catalog opens with a SEQUENCE, which no other format's magic does, and
  // is told by its content whatever its name.
  if (OpensSignedData(head)) return SubjectFormat::kDerSignedData;
  return FormatByMagicOrExtension(head, fileName);
}

SubjectOpener FindSubjectOpener(SubjectFormat format) {
  const SubjectRow* row = FindRow(format);
  return row == nullptr ? nullptr : row->open;
}

SubjectStatus OpenSubject(const ByteSource& file, std::string_view fileName, std::unique_ptr<Subject>* subject,
                          GUID* subjectType) {
  subject->reset();
  std::array<uint8_t, kSubjectMagicSize> head{};
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(head.size(), file.size()));
  if (!file.Read(0, std::span<uint8_t>(head.data(), headSize))) return SubjectStatus::kReadFault;
  const SubjectRow* row = FindRow(DetectSubjectFormat(ByteView(head.data(), headSize), fileName));
  if (row == nullptr) return SubjectStatus::kNotThisFormat;
  SubjectStatus status = row->open(file, subject);
  if (status == SubjectStatus::kOk && subjectType != nullptr) {
    *subjectType = (*subject)->IsPackageBundle() ? kAppxBundleType : row->type;
  }
  return status;
}

}  // namespace wintrust
