// The text of a script as the PowerShell subject reads it: the file's bytes
// decoded into UTF-16 code units, streamed, never held whole. The encoding is
// chosen the way Windows' script subject chooses it:
//   - a byte-order mark: FF FE UTF-16LE, FE FF UTF-16BE, EF BB BF UTF-8;
//   - no mark: UTF-8 when the first 32 bytes hold at least one multi-byte
//     sequence and every sequence there is complete, else the ANSI code page,
//     taken to be Windows-1252 (the code page of Western-language Windows).
// A byte-order mark is part of the text (U+FEFF), as it is part of what is
// signed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"

namespace wintrust {

enum class ScriptEncoding { kUtf16Le, kUtf16Be, kUtf8, kWindows1252 };

// The number of leading bytes DetectScriptEncoding looks at.
constexpr size_t kScriptEncodingProbeSize = 32;

// The encoding of a file whose first bytes (at most kScriptEncodingProbeSize)
// are `head`.
ScriptEncoding DetectScriptEncoding(ByteView head);

// Decodes a file front to back, a chunk at a time. Invalid UTF-8 becomes
// U+FFFD, one for each maximal ill-formed subsequence; UTF-16 units pass as
// they are; a last odd byte of a UTF-16 file is dropped.
class ScriptDecoder {
 public:
  ScriptDecoder(const ByteSource& file, ScriptEncoding encoding) : file_(file), encoding_(encoding) {}

  // Replaces `units` with the next units of text: empty at the end of the
  // file. False when a read fails.
  bool Next(std::vector<char16_t>* units);

 private:
  void Decode(ByteView bytes, bool atEnd, std::vector<char16_t>* units);

  const ByteSource& file_;
  ScriptEncoding encoding_;
  uint64_t position_ = 0;       // the next byte to read
  std::vector<uint8_t> carry_;  // the start of a sequence the last chunk cut
};

}  // namespace wintrust
