#include "wintrust/script/script_text.h"

#include <gtest/gtest.h>

#include <string>

namespace wintrust {
namespace {

ByteView View(const std::string& bytes) {
  return ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct EncodingRow {
  const char* name;
  std::string head;
  ScriptEncoding encoding;
};

const EncodingRow kEncodingRows[] = {
    {"UTF-16LE mark", "\xFF\xFEW\0", ScriptEncoding::kUtf16Le},
    {"UTF-16BE mark", "\xFE\xFF\0W", ScriptEncoding::kUtf16Be},
    {"UTF-8 mark", "\xEF\xBB\xBFWrite", ScriptEncoding::kUtf8},
    {"UTF-8 in the first 32 bytes",
     "# Gr\xC3\xBC\xC3\x9F"
     "e",
     ScriptEncoding::kUtf8},
    {"plain ASCII", "Write-Output 1", ScriptEncoding::kWindows1252},
    {"empty", "", ScriptEncoding::kWindows1252},
    {"UTF-8 only after 32 bytes", std::string(32, 'a') + "\xC3\xA9", ScriptEncoding::kWindows1252},
    {"a sequence cut by the 32nd byte", std::string(31, 'a') + "\xC3\xA9", ScriptEncoding::kWindows1252},
    {"a stray continuation byte", "ab\xA9", ScriptEncoding::kWindows1252},
    {"a lead byte without its continuation",
     "\xC3"
     "a",
     ScriptEncoding::kWindows1252},
    {"Windows-1252 text", "caf\xE9", ScriptEncoding::kWindows1252},
};

TEST(ScriptText, ChoosesTheEncodingAsWindowsDoes) {
  for (const EncodingRow& row : kEncodingRows) {
    EXPECT_EQ(DetectScriptEncoding(View(row.head)), row.encoding) << row.name;
  }
}

std::u16string Decode(const std::string& bytes, ScriptEncoding encoding) {
  MemorySource source(View(bytes));
  ScriptDecoder decoder(source, encoding);
  std::u16string text;
  std::vector<char16_t> units;
  while (decoder.Next(&units) && !units.empty()) text.append(units.begin(), units.end());
  return text;
}

struct DecodeRow {
  const char* name;
  std::string bytes;
  ScriptEncoding encoding;
  std::u16string text;
};

const DecodeRow kDecodeRows[] = {
    {"UTF-8 mark kept", "\xEF\xBB\xBFx", ScriptEncoding::kUtf8, u"\uFEFFx"},
    {"two- three- and four-byte sequences", "\xC3\xBC\xE4\xB8\x96\xF0\x9F\x98\x80", ScriptEncoding::kUtf8,
     u"\u00FC\u4E16\U0001F600"},
    {"lead byte that starts nothing",
     "a\x80"
     "b\xFF",
     ScriptEncoding::kUtf8, u"a\uFFFDb\uFFFD"},
    {"overlong form", "\xC0\xAF", ScriptEncoding::kUtf8, u"\uFFFD\uFFFD"},
    {"second byte outside the lead's range", "\xE0\x80\x80", ScriptEncoding::kUtf8, u"\uFFFD\uFFFD\uFFFD"},
    {"encoded surrogate", "\xED\xA0\x80", ScriptEncoding::kUtf8, u"\uFFFD\uFFFD\uFFFD"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", ScriptEncoding::kUtf8, u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"sequence broken after two bytes", "\xE4\xB8x", ScriptEncoding::kUtf8, u"\uFFFDx"},
    {"sequence cut by the end", "x\xF0\x9F\x98", ScriptEncoding::kUtf8, u"x\uFFFD"},
    {"UTF-16LE as it is", std::string("\xFF\xFE\x41\x00\x3D\xD8\x00\xDE", 8), ScriptEncoding::kUtf16Le,
     u"\uFEFFA\U0001F600"},
    {"UTF-16LE odd last byte dropped", std::string("\x41\x00\x42", 3), ScriptEncoding::kUtf16Le, u"A"},
    {"UTF-16BE", std::string("\xFE\xFF\x00\x41", 4), ScriptEncoding::kUtf16Be, u"\uFEFFA"},
    {"Windows-1252", "\x80\x81\x9F\xE9\x41", ScriptEncoding::kWindows1252, u"\u20AC\u0081\u0178\u00E9A"},
};

TEST(ScriptText, DecodesEachEncoding) {
  for (const DecodeRow& row : kDecodeRows) {
    EXPECT_EQ(Decode(row.bytes, row.encoding), row.text) << row.name;
  }
}

TEST(ScriptText, SequencesAcrossReadsDecodeWhole) {
  // The decoder reads 64 KiB at a time; put a sequence across every split.
  for (size_t before : {65533u, 65534u, 65535u, 65536u}) {
    std::string bytes = std::string(before, 'a') + "\xF0\x9F\x98\x80" + "z";
    std::u16string text = Decode(bytes, ScriptEncoding::kUtf8);
    EXPECT_EQ(text, std::u16string(before, u'a') + u"\U0001F600z") << before;
  }
}

}  // namespace
}  // namespace wintrust
