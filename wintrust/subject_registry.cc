// The subjects built into the library, one row per format. A format without
// a row is not verified: TRUST_E_SUBJECT_FORM_UNKNOWN.
#include "wintrust/cabinet.h"
#include "wintrust/msi_subject.h"
#include "wintrust/pe_subject.h"
#include "wintrust/powershell_script.h"
#include "wintrust/subject.h"

namespace wintrust {
namespace {

struct SubjectRow {
  SubjectFormat format;
  SubjectOpener open;
};

constexpr SubjectRow kSubjectOpeners[] = {
    {SubjectFormat::kPeImage, OpenPeSubject},
    {SubjectFormat::kCabinet, OpenCabinetSubject},
    {SubjectFormat::kCompoundFile, OpenMsiSubject},
    {SubjectFormat::kPowerShellScript, OpenPowerShellSubject},
};

}  // namespace

SubjectOpener FindSubjectOpener(SubjectFormat format) {
  for (const SubjectRow& row : kSubjectOpeners) {
    if (row.format == format) return row.open;
  }
  return nullptr;
}

}  // namespace wintrust
