#include "wintrust/script/script_text.h"

#include <algorithm>

namespace wintrust {
namespace {

// Bytes read from the file at a time.
constexpr size_t kChunkSize = size_t{64} << 10;

constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252's characters at 0x80..0x9F; the five bytes it leaves
// undefined map to the C1 control of the same value, as Windows maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// A UTF-8 lead byte: the length of the sequence it starts and the range its
// second byte must lie in (the later ones lie in 80..BF). Length 0 for a byte
// that starts no well-formed sequence.
struct Utf8Lead {
  size_t length;
  uint8_t low;
  uint8_t high;
};

Utf8Lead LeadOf(uint8_t byte) {
  if (byte < 0x80) return {1, 0, 0};
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

void AppendCodePoint(uint32_t code, std::vector<char16_t>* units) {
  if (code < 0x10000) {
    units->push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  units->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  units->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

// Decodes `bytes` and returns how many of them were used: all but the start
// of a sequence that the end of `bytes` cuts, unless `atEnd`.
size_t DecodeUtf8(ByteView bytes, bool atEnd, std::vector<char16_t>* units) {
  size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Lead lead = LeadOf(bytes[i]);
    if (lead.length == 0) {
      units->push_back(kReplacement);
      ++i;
      continue;
    }
    uint32_t code = lead.length == 1 ? bytes[i] : bytes[i] & (0xFFu >> (lead.length + 1));
    size_t taken = 1;
    while (taken < lead.length && i + taken < bytes.size()) {
      const uint8_t next = bytes[i + taken];
      const uint8_t low = taken == 1 ? lead.low : 0x80;
      const uint8_t high = taken == 1 ? lead.high : 0xBF;
      if (next < low || next > high) break;
      code = (code << 6) | (next & 0x3Fu);
      ++taken;
    }
    if (taken == lead.length) {
      AppendCodePoint(code, units);
    } else if (i + taken == bytes.size() && !atEnd) {
      return i;
    } else {
      units->push_back(kReplacement);
    }
    i += taken;
  }
  return i;
}

// Whether the bytes look like UTF-8 the way Windows' script subject judges
// it: every lead byte's count of leading one bits announces its sequence's
// length, each announced continuation byte is 10xxxxxx, the last sequence is
// complete, and there is at least one multi-byte sequence.
bool LooksLikeUtf8(ByteView bytes) {
  bool extended = false;
  int remaining = 0;
  for (uint8_t byte : bytes) {
    if (remaining > 0) {
      if ((byte & 0xC0) != 0x80) return false;
      --remaining;
      continue;
    }
    if (byte < 0x80) continue;
    extended = true;
    int ones = 0;
    for (uint8_t rest = byte; (rest & 0x80) != 0; rest = static_cast<uint8_t>(rest << 1)) ++ones;
    remaining = ones - 1;
    if (remaining == 0) return false;
  }
  return remaining == 0 && extended;
}

bool StartsWith(ByteView bytes, std::initializer_list<uint8_t> mark) {
  return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
}

}  // namespace

ScriptEncoding DetectScriptEncoding(ByteView head) {
  if (StartsWith(head, {0xFF, 0xFE})) return ScriptEncoding::kUtf16Le;
  if (StartsWith(head, {0xFE, 0xFF})) return ScriptEncoding::kUtf16Be;
  if (StartsWith(head, {0xEF, 0xBB, 0xBF})) return ScriptEncoding::kUtf8;
  const ByteView probe = head.first(std::min(head.size(), kScriptEncodingProbeSize));
  return LooksLikeUtf8(probe) ? ScriptEncoding::kUtf8 : ScriptEncoding::kWindows1252;
}

bool ScriptDecoder::Next(std::vector<char16_t>* units) {
  units->clear();
  while (units->empty() && position_ < file_.size()) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunkSize, file_.size() - position_));
    std::vector<uint8_t> bytes = std::move(carry_);
    carry_.clear();
    const size_t carried = bytes.size();
    bytes.resize(carried + length);
    if (!file_.Read(position_, std::span<uint8_t>(bytes).subspan(carried))) return false;
    position_ += length;
    Decode(bytes, position_ == file_.size(), units);
  }
  return true;
}

void ScriptDecoder::Decode(ByteView bytes, bool atEnd, std::vector<char16_t>* units) {
  size_t used = bytes.size();
  switch (encoding_) {
    case ScriptEncoding::kUtf16Le:
    case ScriptEncoding::kUtf16Be: {
      const bool little = encoding_ == ScriptEncoding::kUtf16Le;
      used = bytes.size() & ~size_t{1};
      for (size_t i = 0; i < used; i += 2) {
        const uint8_t low = little ? bytes[i] : bytes[i + 1];
        const uint8_t high = little ? bytes[i + 1] : bytes[i];
        units->push_back(static_cast<char16_t>(low | (high << 8)));
      }
      if (atEnd) used = bytes.size();
      break;
    }
    case ScriptEncoding::kUtf8:
      used = DecodeUtf8(bytes, atEnd, units);
      break;
    case ScriptEncoding::kWindows1252:
      for (uint8_t byte : bytes) {
        units->push_back(byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : char16_t{byte});
      }
      break;
  }
  carry_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end());
}

}  // namespace wintrust
