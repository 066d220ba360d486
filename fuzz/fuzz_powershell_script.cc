// The script text decoder (wintrust/script_text.h) and the PowerShell
// signature block reader (wintrust/powershell_script.h). Rules:
//   - decoded UTF-8 is well-formed UTF-16 (no lone surrogate) of at most one
//     unit per byte; UTF-16 gives one unit per two bytes;
//   - the block reader answers kOk, kNoSignature or kTooLarge from bytes in
//     memory, and a source cut short gives kReadFault or the same answer;
//   - a block it accepts follows the first "\r\n# SIG # Begin signature
//     block" of the decoded text, which ends with the end line and one or two
//     line breaks; the blob is the base64 of the block's lines;
//   - the streamed digest equals one SHA-256 over the UTF-16LE text before
//     that marker, found here in the whole decoded text.
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_sha256.h"
#include "fuzz/truncated_source.h"
#include "wintrust/script/powershell_script.h"
#include "wintrust/script/script_text.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::ScriptEncoding;
using wintrust::SubjectStatus;

std::u16string DecodeAll(const wintrust::ByteSource& file, ScriptEncoding encoding) {
  wintrust::ScriptDecoder decoder(file, encoding);
  std::u16string text;
  std::vector<char16_t> units;
  for (;;) {
    FUZZ_CHECK(decoder.Next(&units));
    if (units.empty()) return text;
    text.append(units.begin(), units.end());
  }
}

void CheckWellFormed(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
      FUZZ_CHECK(i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF);
      ++i;
    } else {
      FUZZ_CHECK(text[i] < 0xDC00 || text[i] > 0xDFFF);
    }
  }
}

Bytes Sha256OfUtf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return ReferenceSha256(bytes.data(), bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView file(data, size);
  wintrust::MemorySource source(file);
  const ScriptEncoding encoding =
      wintrust::DetectScriptEncoding(file.first(std::min(size, wintrust::kScriptEncodingProbeSize)));

  const std::u16string text = DecodeAll(source, encoding);
  if (encoding == ScriptEncoding::kUtf8) {
    CheckWellFormed(text);
    FUZZ_CHECK(text.size() <= size);
  } else if (encoding == ScriptEncoding::kWindows1252) {
    FUZZ_CHECK(text.size() == size);
  } else {
    FUZZ_CHECK(text.size() == size / 2);
  }

  Bytes blob;
  const SubjectStatus status = wintrust::ReadScriptSignature(source, encoding, &blob);
  FUZZ_CHECK(status == SubjectStatus::kOk || status == SubjectStatus::kNoSignature ||
             status == SubjectStatus::kTooLarge);
  fuzzing::TruncatedSource truncated(file, fuzzing::InputHash(file) % (size + 1));
  Bytes cutBlob;
  const SubjectStatus cutStatus = wintrust::ReadScriptSignature(truncated, encoding, &cutBlob);
  FUZZ_CHECK(cutStatus == SubjectStatus::kReadFault || (cutStatus == status && cutBlob == blob));
  if (status != SubjectStatus::kOk) return 0;

  const size_t marker = text.find(u"\r\n# SIG # Begin signature block\r\n");
  FUZZ_CHECK(marker != std::u16string::npos && !blob.empty());
  const std::u16string_view end = u"# SIG # End signature block";
  const size_t last = text.find_last_not_of(u"\r\n");
  FUZZ_CHECK(last != std::u16string::npos && text.size() - last - 1 >= 1 && text.size() - last - 1 <= 2);
  FUZZ_CHECK(last + 1 >= end.size() && std::u16string_view(text).substr(last + 1 - end.size(), end.size()) == end);

  Bytes digest;
  FUZZ_CHECK(wintrust::ComputeScriptDigest(source, encoding, EVP_sha256(), &digest) == SubjectStatus::kOk);
  FUZZ_CHECK(digest == Sha256OfUtf16Le(std::u16string_view(text).substr(0, marker)));
  return 0;
}
