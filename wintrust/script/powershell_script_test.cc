#include "wintrust/script/powershell_script.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

#include "wintrust/signature/digest_policy.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

ByteView View(const std::string& bytes) {
  return ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Stands in for a PKCS#7 blob: any bytes survive the block's base64.
std::string Blob() {
  std::string blob;
  for (int i = 0; i < 100; ++i) blob.push_back(static_cast<char>(i * 37));
  return blob;
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

// The block as signing tools write it: lines of 64 base64 characters.
std::string Block(const std::string& blob, const std::string& ending = "\r\n") {
  std::string base64 = Base64(blob);
  std::string block = "\r\n# SIG # Begin signature block";
  for (size_t i = 0; i < base64.size(); i += 64) block += "\r\n# " + base64.substr(i, 64);
  return block + "\r\n# SIG # End signature block" + ending;
}

const std::string kContent = "Write-Output 'x'\r\n";

struct BlockRow {
  const char* name;
  std::string script;
  SubjectStatus status;
};

const BlockRow kBlockRows[] = {
    {"as signing tools write it", kContent + Block(Blob()), SubjectStatus::kOk},
    {"ending LF", kContent + Block(Blob(), "\n"), SubjectStatus::kOk},
    {"ending CR", kContent + Block(Blob(), "\r"), SubjectStatus::kOk},
    {"ending CR CR", kContent + Block(Blob(), "\r\r"), SubjectStatus::kOk},
    {"ending LF CR", kContent + Block(Blob(), "\n\r"), SubjectStatus::kOk},
    {"ending LF LF", kContent + Block(Blob(), "\n\n"), SubjectStatus::kOk},
    {"no line break after the end line", kContent + Block(Blob(), ""), SubjectStatus::kNoSignature},
    {"three line breaks after it", kContent + Block(Blob(), "\r\n\r"), SubjectStatus::kNoSignature},
    {"text after the end line", kContent + Block(Blob(), "\r\nx"), SubjectStatus::kNoSignature},
    {"no block", kContent, SubjectStatus::kNoSignature},
    {"empty file", "", SubjectStatus::kNoSignature},
    {"begin line after a lone LF", "x\n# SIG # Begin signature block\r\n# AAAA\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"text after the begin marker", "x\r\n# SIG # Begin signature block!\r\n# AAAA\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"a line without the comment prefix",
     "x\r\n# SIG # Begin signature block\r\nAAAA\r\n# SIG # End signature block\r\n", SubjectStatus::kNoSignature},
    {"a character outside base64", "x\r\n# SIG # Begin signature block\r\n# AA*A\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"base64 cut inside a group", "x\r\n# SIG # Begin signature block\r\n# AAA\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"base64 after padding",
     "x\r\n# SIG # Begin signature block\r\n# AA==\r\n# AAAA\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"padding too early", "x\r\n# SIG # Begin signature block\r\n# A===\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"empty block", "x\r\n# SIG # Begin signature block\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"no end line", kContent + "\r\n# SIG # Begin signature block\r\n# AAAA\r\n", SubjectStatus::kNoSignature},
    {"a line longer than any base64 line",
     "x\r\n# SIG # Begin signature block\r\n# " + std::string(2000, 'A') + "\r\n# SIG # End signature block\r\n",
     SubjectStatus::kNoSignature},
    {"two blocks", kContent + Block(Blob()) + Block(Blob()), SubjectStatus::kNoSignature},
    {"a block inside the text, then the real one",
     kContent + "\r\n# SIG # Begin signature block\r\n# not it" + Block(Blob()), SubjectStatus::kNoSignature},
};

TEST(PowerShellScript, ReadsOnlyAWellFormedBlockAtTheEnd) {
  for (const BlockRow& row : kBlockRows) {
    MemorySource source(View(row.script));
    Bytes blob;
    EXPECT_EQ(ReadScriptSignature(source, ScriptEncoding::kWindows1252, &blob), row.status) << row.name;
    if (row.status == SubjectStatus::kOk) {
      EXPECT_TRUE(SameBytes(blob, View(Blob()))) << row.name;
    } else {
      EXPECT_TRUE(blob.empty()) << row.name;
    }
  }
}

TEST(PowerShellScript, BlockOfMoreThanTheLibraryReadsIsTooLarge) {
  std::string script = kContent + Block(std::string(kMaxSignatureSize + 3, 'x'));
  MemorySource source(View(script));
  Bytes blob;
  EXPECT_EQ(ReadScriptSignature(source, ScriptEncoding::kWindows1252, &blob), SubjectStatus::kTooLarge);
}

std::string Utf16Le(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

struct DigestRow {
  const char* name;
  std::string content;  // ASCII, so every encoding but UTF-16 reads it as is
};

const DigestRow kDigestRows[] = {
    {"plain", kContent},
    {"empty", ""},
    {"a CR before the block's CR LF", "x\r"},
    {"a start of the marker inside the text", "a\r\n# SIG # Beg\r\n# SIG\r"},
    {"a marker across a 64 KiB read", std::string(65536 - 7, 'a')},
    {"longer than one hashed piece", std::string(200000, 'b')},
};

TEST(PowerShellScript, DigestCoversTheTextBeforeTheBlockAsUtf16) {
  for (const DigestRow& row : kDigestRows) {
    std::string script = row.content + Block(Blob());
    MemorySource source(View(script));
    Bytes blob;
    ASSERT_EQ(ReadScriptSignature(source, ScriptEncoding::kWindows1252, &blob), SubjectStatus::kOk) << row.name;
    Bytes digest;
    ASSERT_EQ(ComputeScriptDigest(source, ScriptEncoding::kWindows1252, EVP_sha256(), &digest), SubjectStatus::kOk);
    std::u16string text(row.content.begin(), row.content.end());
    EXPECT_EQ(test_support::Hex(digest), test_support::Hex(*Digest(EVP_sha256(), View(Utf16Le(text))))) << row.name;
  }
}

TEST(PowerShellScript, Utf16ScriptsAreHashedAsTheyAre) {
  const std::u16string text = u"\uFEFFWrite-Output '\U0001F600'\r\n";
  std::u16string block;
  for (char c : Block(Blob())) block.push_back(static_cast<char16_t>(c));
  std::string script = Utf16Le(text + block);
  MemorySource source(View(script));
  std::unique_ptr<Subject> subject;
  ASSERT_EQ(OpenPowerShellSubject(source, &subject), SubjectStatus::kOk);
  Bytes blob;
  ASSERT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  EXPECT_TRUE(SameBytes(blob, View(Blob())));
  Bytes digest;
  ASSERT_EQ(subject->ComputeDigest(EVP_sha1(), &digest), SubjectStatus::kOk);
  EXPECT_EQ(test_support::Hex(digest), test_support::Hex(*Digest(EVP_sha1(), View(Utf16Le(text)))));
}

}  // namespace
}  // namespace wintrust
