#include "wintrust/verifier/subject_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wintrust/appx/appx_subject.h"
#include "wintrust/cab/cabinet.h"
#include "wintrust/catalog/catalog_subject.h"
#include "wintrust/msi/msi_subject.h"
#include "wintrust/pe/pe_subject.h"
#include "wintrust/script/powershell_script.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

struct FormatRow {
  const char* file;  // a fixture of the format, signed unless it is a bundle
  SubjectOpener ownOpener;
  GUID type;  // the subject type Windows verifies it as
};

const FormatRow kFormatRows[] = {
    {"files/pe64-rsa-sha256.exe",
     OpenPeSubject,
     {0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
    {"files/cab-rsa-sha256.cab",
     OpenCabinetSubject,
     {0xC689AABA, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
    {"files/msi-rsa-sha256.msi",
     OpenMsiSubject,
     {0x000C10F1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}},
    {"files/ps1-utf8-sha256.ps1",
     OpenPowerShellSubject,
     {0x603BCC1F, 0x4B59, 0x4E08, {0xB7, 0x24, 0xD2, 0xC6, 0x29, 0x7E, 0xF3, 0x51}}},
    {"files/cat-pkcs7-sha256.cat",
     OpenCatalogSubject,
     {0xDE351A43, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}},
    {"files/appx-rsa-sha256.appx",
     OpenAppxSubject,
     {0x0AC5DF4B, 0xCE07, 0x4DE2, {0xB7, 0x6E, 0x23, 0xC8, 0x39, 0xA0, 0x9F, 0xD1}}},
    {"files/appx-bundle-unsigned.appxbundle",
     OpenAppxSubject,
     {0x0F5F58B3, 0xAADE, 0x4B9A, {0xA4, 0x34, 0x95, 0x74, 0x2D, 0x92, 0xEC, 0xEB}}},
};

// Each format's file reaches its own subject and subject type: the subject
// the registry opens reads the same signature as the format's opener called
// directly, and every other format's opener refuses the file.
TEST(SubjectRegistryTest, EachFormatReachesItsOwnSubject) {
  ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
  for (const FormatRow& row : kFormatRows) {
    SCOPED_TRACE(row.file);
    const Bytes bytes = test_support::ReadWholeFile(test_support::FixtureDir() + "/" + row.file);
    MemorySource file(bytes);
    std::unique_ptr<Subject> registered;
    GUID type{};
    ASSERT_EQ(OpenSubject(file, row.file, &registered, &type), SubjectStatus::kOk);
    EXPECT_EQ(std::memcmp(&type, &row.type, sizeof type), 0) << "subject type " << std::hex << type.Data1;
    std::unique_ptr<Subject> own;
    ASSERT_EQ(row.ownOpener(file, &own), SubjectStatus::kOk);
    Bytes blob, ownBlob;
    EXPECT_EQ(registered->ReadSignature(&blob), own->ReadSignature(&ownBlob));
    EXPECT_EQ(blob, ownBlob);
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

struct DetectionRow {
  const char* name;
  std::string head;  // the file's first bytes
  const char* fileName;
  SubjectFormat format;
};

const DetectionRow kDetectionRows[] = {
    {"pe", "MZ\x90", "tool.exe", SubjectFormat::kPeImage},
    {"pe by content whatever the name", "MZ", "script.ps1", SubjectFormat::kPeImage},
    {"cabinet", "MSCF\x03\x01", "setup.cab", SubjectFormat::kCabinet},
    {"cabinet under another name", "MSCF", "setup.ps1", SubjectFormat::kCabinet},
    {"compound file", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", "setup.msi", SubjectFormat::kCompoundFile},
    {"compound file magic cut", "\xD0\xCF\x11\xE0\xA1\xB1\x1A", "setup.msi", SubjectFormat::kUnknown},
    {"script", "Write-Host 1", "dir/run.ps1", SubjectFormat::kPowerShellScript},
    {"module", "function f {}", "mod.psm1", SubjectFormat::kPowerShellScript},
    {"data file", "@{}", "mod.psd1", SubjectFormat::kPowerShellScript},
    {"extension in upper case", "", "RUN.PS1", SubjectFormat::kPowerShellScript},
    {"empty script", "", "run.ps1", SubjectFormat::kPowerShellScript},
    {"dot in the folder only", "x", "dir.ps1/run", SubjectFormat::kUnknown},
    {"extension of another script language", "x", "run.vbs", SubjectFormat::kUnknown},
    {"ps1 followed by more", "x", "run.ps1.txt", SubjectFormat::kUnknown},
    {"no name", "x", "", SubjectFormat::kUnknown},
    {"empty file", "", "file", SubjectFormat::kUnknown},
    {"one byte of MZ", "M", "tool.exe", SubjectFormat::kUnknown},
    {"zip, whatever the name", std::string("PK\x03\x04\x14\0", 6), "app.msix", SubjectFormat::kZip},
    {"zip end record first: an empty zip", "PK\x05\x06", "app.appx", SubjectFormat::kUnknown},
    {"signed data", "\x30\x82\x05\x7A\x06\x09\x2A\x86", "driver.cat", SubjectFormat::kDerSignedData},
    {"signed data of indefinite length", "\x30\x80\x06\x09\x2A\x86\x48\x86", "x", SubjectFormat::kDerSignedData},
    {"signed data of short length", "\x30\x7F\x06\x09\x2A\x86\x48\x86", "x", SubjectFormat::kDerSignedData},
    {"signed data of four length octets", "\x30\x84\x01\x02\x03\x04\x06\x09", "x", SubjectFormat::kDerSignedData},
    {"signed data by content whatever the name", "\x30\x82\x05\x7A\x06\x09\x2A\x86", "run.ps1",
     SubjectFormat::kDerSignedData},
    {"sequence opening another object identifier", "\x30\x82\x05\x7A\x06\x09\x2B\x06", "driver.cat",
     SubjectFormat::kUnknown},
    {"sequence opening an integer", "\x30\x03\x02\x01\x01", "driver.cat", SubjectFormat::kUnknown},
    {"sequence cut after its header", "\x30\x82\x05\x7A\x06", "driver.cat", SubjectFormat::kUnknown},
    {"five length octets", "\x30\x85\x01\x02\x03\x04\x05\x06", "driver.cat", SubjectFormat::kUnknown},
};

TEST(SubjectRegistryTest, DetectsByContentThenExtension) {
  for (const DetectionRow& row : kDetectionRows) {
    ByteView head(reinterpret_cast<const uint8_t*>(row.head.data()), row.head.size());
    EXPECT_EQ(DetectSubjectFormat(head, row.fileName), row.format) << row.name;
  }
}

}  // namespace
}  // namespace wintrust
