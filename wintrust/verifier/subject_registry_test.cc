#include "wintrust/verifier/subject_registry.h"

#include <gtest/gtest.h>

#include "wintrust/cab/cabinet.h"
#include "wintrust/catalog/catalog_subject.h"
#include "wintrust/msi/msi_subject.h"
#include "wintrust/pe/pe_subject.h"
#include "wintrust/script/powershell_script.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

struct FormatRow {
  const char* file;  // a signed fixture of the format
  SubjectOpener ownOpener;
};

const FormatRow kFormatRows[] = {
    {"files/pe64-rsa-sha256.exe", OpenPeSubject},       {"files/cab-rsa-sha256.cab", OpenCabinetSubject},
    {"files/msi-rsa-sha256.msi", OpenMsiSubject},       {"files/ps1-utf8-sha256.ps1", OpenPowerShellSubject},
    {"files/cat-pkcs7-sha256.cat", OpenCatalogSubject},
};

Bytes SignatureThrough(const std::unique_ptr<Subject>& subject) {
  Bytes blob;
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  return blob;
}

// Each format's file reaches its own subject: the subject the registry
// opens reads the same signature as the format's opener called directly,
// and every other format's opener refuses the file.
TEST(SubjectRegistryTest, EachFormatReachesItsOwnSubject) {
  ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
  for (const FormatRow& row : kFormatRows) {
    SCOPED_TRACE(row.file);
    const Bytes bytes = test_support::ReadWholeFile(test_support::FixtureDir() + "/" + row.file);
    MemorySource file(bytes);
    std::unique_ptr<Subject> registered;
    ASSERT_EQ(OpenSubject(file, row.file, &registered), SubjectStatus::kOk);
    std::unique_ptr<Subject> own;
    ASSERT_EQ(row.ownOpener(file, &own), SubjectStatus::kOk);
    EXPECT_EQ(SignatureThrough(registered), SignatureThrough(own));
    for (const FormatRow& other : kFormatRows) {
      std::unique_ptr<Subject> wrong;
      if (other.ownOpener != row.ownOpener && other.ownOpener != OpenPowerShellSubject) {
        EXPECT_NE(other.ownOpener(file, &wrong), SubjectStatus::kOk) << "opened by the opener of " << other.file;
      }
    }
  }
  std::unique_ptr<Subject> none;
  EXPECT_EQ(FindSubjectOpener(SubjectFormat::kUnknown), nullptr);
  MemorySource text(ByteView(reinterpret_cast<const uint8_t*>("plain text"), 10));
  EXPECT_EQ(OpenSubject(text, "notes.txt", &none), SubjectStatus::kNotThisFormat);
}

}  // namespace
}  // namespace wintrust
