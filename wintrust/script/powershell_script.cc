#include "wintrust/script/powershell_script.h"

#include <array>
#include <string_view>
#include <vector>

#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

constexpr std::u16string_view kBeginMarker = u"\r\n# SIG # Begin signature block";
constexpr std::u16string_view kEndLine = u"# SIG # End signature block";
constexpr std::u16string_view kLinePrefix = u"# ";

// The longest line a block may hold: base64 lines are 64 characters.
constexpr size_t kMaxBlockLine = 1024;

// Flushes hashed text in pieces of this many bytes.
constexpr size_t kHashPiece = size_t{64} << 10;

// Finds the first kBeginMarker in a stream of units. The marker's first
// unit, CR, occurs nowhere else in it, so after a mismatch a new match can
// only start at the unit that broke the old one.
class MarkerFinder {
 public:
  // Feeds one unit; true when it completes the marker.
  bool Feed(char16_t unit) {
    if (unit == kBeginMarker[matched_]) return ++matched_ == kBeginMarker.size();
    matched_ = unit == kBeginMarker[0] ? 1 : 0;
    return false;
  }
  // The units held back as a possible start of the marker.
  size_t matched() const { return matched_; }

 private:
  size_t matched_ = 0;
};

// Strict base64: groups of four characters from the standard alphabet, '='
// only as padding at the very end.
class Base64Decoder {
 public:
  explicit Base64Decoder(Bytes* out) : out_(out) {}

  // False when `c` cannot come next.
  bool Feed(char16_t c) {
    if (padding_ > 0 && c != u'=') return false;
    int value;
    if (c >= u'A' && c <= u'Z') {
      value = c - u'A';
    } else if (c >= u'a' && c <= u'z') {
      value = c - u'a' + 26;
    } else if (c >= u'0' && c <= u'9') {
      value = c - u'0' + 52;
    } else if (c == u'+') {
      value = 62;
    } else if (c == u'/') {
      value = 63;
    } else if (c == u'=' && group_ >= 2) {
      ++padding_;
      value = 0;
    } else {
      return false;
    }
    quad_[group_++] = static_cast<uint8_t>(value);
    if (group_ == 4) {
      const uint32_t bits =
          (uint32_t{quad_[0]} << 18) | (uint32_t{quad_[1]} << 12) | (uint32_t{quad_[2]} << 6) | uint32_t{quad_[3]};
      const size_t count = 3 - padding_;
      for (size_t i = 0; i < count; ++i) out_->push_back(static_cast<uint8_t>(bits >> (16 - 8 * i)));
      group_ = 0;
    }
    return true;
  }
  // True when no group is left open.
  bool Complete() const { return group_ == 0; }

 private:
  Bytes* out_;
  std::array<uint8_t, 4> quad_{};
  size_t group_ = 0;
  size_t padding_ = 0;  // '=' seen: nothing else may follow
};

// Reads the block's lines after the begin marker, unit by unit.
class BlockReader {
 public:
  explicit BlockReader(Bytes* blob) : base64_(blob), blob_(blob) {}

  // Feeds one unit; false when the block is not well formed.
  bool Feed(char16_t unit) {
    if (ended_) {
      return (unit == u'\r' || unit == u'\n') && ++trailing_ <= 2;
    }
    if (unit != u'\n') {
      if (line_.size() == kMaxBlockLine) return false;
      line_.push_back(unit);
      return true;
    }
    // A line ends. The begin line and base64 lines end with CR LF; the end
    // line may end with a lone LF.
    std::u16string_view line(line_);
    if (!begun_) {
      // What follows the begin marker on its line.
      if (line != u"\r") return false;
      begun_ = true;
      line_.clear();
      return true;
    }
    if (!line.empty() && line.back() == u'\r' && line.substr(0, line.size() - 1) == kEndLine) {
      ended_ = true;
      trailing_ = 2;
      line_.clear();
      return true;
    }
    if (line == kEndLine) {
      ended_ = true;
      trailing_ = 1;
      line_.clear();
      return true;
    }
    if (line.size() < kLinePrefix.size() + 1 || line.substr(0, kLinePrefix.size()) != kLinePrefix ||
        line.back() != u'\r') {
      return false;
    }
    for (char16_t c : line.substr(kLinePrefix.size(), line.size() - kLinePrefix.size() - 1)) {
      if (!base64_.Feed(c)) return false;
    }
    line_.clear();
    return true;
  }

  // At the end of the text: the block is whole.
  SubjectStatus Finish() {
    // The end line closed by a lone CR, or by CR CR, reaches the end of the
    // text still unread as a line.
    std::u16string_view line(line_);
    if (!begun_) return SubjectStatus::kNoSignature;
    if (!ended_) {
      size_t crs = 0;
      while (crs < line.size() && crs < 2 && line[line.size() - 1 - crs] == u'\r') ++crs;
      if (crs == 0 || line.substr(0, line.size() - crs) != kEndLine) return SubjectStatus::kNoSignature;
      ended_ = true;
    }
    if (!base64_.Complete() || blob_->empty()) return SubjectStatus::kNoSignature;
    return SubjectStatus::kOk;
  }

  bool TooLarge() const { return blob_->size() > kMaxSignatureSize; }

 private:
  Base64Decoder base64_;
  Bytes* blob_;
  std::u16string line_;
  bool begun_ = false;  // the begin line is over
  bool ended_ = false;
  int trailing_ = 0;  // line-break units after the end line
};

class PowerShellSubject final : public Subject {
 public:
  PowerShellSubject(const ByteSource& file, ScriptEncoding encoding) : file_(file), encoding_(encoding) {}

  SubjectStatus ReadSignature(Bytes* blob) const override { return ReadScriptSignature(file_, encoding_, blob); }

  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    return ComputeScriptDigest(file_, encoding_, md, digest);
  }

 private:
  const ByteSource& file_;
  ScriptEncoding encoding_;
};

void AppendUtf16Le(char16_t unit, Bytes* out) {
  out->push_back(static_cast<uint8_t>(unit & 0xFF));
  out->push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

SubjectStatus ReadScriptSignature(const ByteSource& file, ScriptEncoding encoding, Bytes* blob) {
  blob->clear();
  ScriptDecoder decoder(file, encoding);
  MarkerFinder finder;
  BlockReader block(blob);
  bool inBlock = false;
  std::vector<char16_t> units;
  for (;;) {
    if (!decoder.Next(&units)) return SubjectStatus::kReadFault;
    if (units.empty()) break;
    for (char16_t unit : units) {
      if (!inBlock) {
        inBlock = finder.Feed(unit);
      } else if (!block.Feed(unit)) {
        blob->clear();
        return SubjectStatus::kNoSignature;
      }
    }
    if (block.TooLarge()) {
      blob->clear();
      return SubjectStatus::kTooLarge;
    }
  }
  SubjectStatus status = inBlock ? block.Finish() : SubjectStatus::kNoSignature;
  if (status != SubjectStatus::kOk) blob->clear();
  return status;
}

SubjectStatus ComputeScriptDigest(const ByteSource& file, ScriptEncoding encoding, const EVP_MD* md, Bytes* digest) {
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  ScriptDecoder decoder(file, encoding);
  MarkerFinder finder;
  Bytes text;
  text.reserve(kHashPiece + 2 * kBeginMarker.size());
  std::vector<char16_t> units;
  bool found = false;
  while (!found) {
    if (!decoder.Next(&units)) return SubjectStatus::kReadFault;
    if (units.empty()) break;
    for (char16_t unit : units) {
      const size_t heldBefore = finder.matched();
      if (finder.Feed(unit)) {
        found = true;
        break;
      }
      // Units held back that turned out not to start the marker are text.
      const size_t heldNow = finder.matched();
      const size_t released = heldBefore + 1 - heldNow;
      for (size_t i = 0; i < released; ++i) {
        AppendUtf16Le(i < heldBefore ? kBeginMarker[i] : unit, &text);
      }
      if (text.size() >= kHashPiece) {
        SubjectStatus status = HashBytes(context.get(), text);
        if (status != SubjectStatus::kOk) return status;
        text.clear();
      }
    }
  }
  // Without a block (never so after ReadScriptSignature accepted it) the
  // held-back units are text too.
  if (!found) {
    for (size_t i = 0; i < finder.matched(); ++i) AppendUtf16Le(kBeginMarker[i], &text);
  }
  SubjectStatus status = HashBytes(context.get(), text);
  if (status != SubjectStatus::kOk) return status;
  return FinishDigest(context.get(), digest);
}

SubjectStatus OpenPowerShellSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  uint8_t head[kScriptEncodingProbeSize];
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(sizeof head, file.size()));
  if (!file.Read(0, std::span<uint8_t>(head, headSize))) return SubjectStatus::kReadFault;
  *subject = std::make_unique<PowerShellSubject>(file, DetectScriptEncoding(ByteView(head, headSize)));
  return SubjectStatus::kOk;
}

}  // namespace wintrust
