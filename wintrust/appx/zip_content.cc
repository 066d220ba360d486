#include "wintrust/appx/zip_content.h"

#include <algorithm>

#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

constexpr size_t kInflateOutputSize = size_t{64} << 10;

}  // namespace

bool KnownZipMethod(const ZipEntry& entry) {
  return entry.method == kZipStored || entry.method == kZipDeflated;
}

ZipContentDecoder::ZipContentDecoder(const ZipEntry& entry, ZipContentSink sink)
    : entry_(entry), sink_(std::move(sink)) {}

ZipContentDecoder::~ZipContentDecoder() {
  if (stream_) inflateEnd(stream_.get());
}

SubjectStatus ZipContentDecoder::Start() {
  if (!KnownZipMethod(entry_)) return SubjectStatus::kNotThisFormat;
  if (entry_.method == kZipStored) {
    return entry_.compressedSize == entry_.uncompressedSize ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
  }
  auto stream = std::make_unique<z_stream>();
  // A negative window size: raw deflate data, as ZIP stores it.
  if (inflateInit2(stream.get(), -MAX_WBITS) != Z_OK) return SubjectStatus::kOpenSsl;
  stream_ = std::move(stream);
  output_.resize(kInflateOutputSize);
  return SubjectStatus::kOk;
}

SubjectStatus ZipContentDecoder::Feed(ByteView data) {
  if (!stream_) {
    produced_ += data.size();
    if (data.empty()) return SubjectStatus::kOk;
    crc32_ = static_cast<uint32_t>(crc32_z(crc32_, data.data(), data.size()));
    return sink_(data);
  }
  // Every byte of the data is the deflated stream's.
  if (ended_) return data.empty() ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
  stream_->next_in = const_cast<uint8_t*>(data.data());
  stream_->avail_in = static_cast<uInt>(data.size());
  // Until the input is used up and the inflater has nothing more to give.
  do {
    stream_->next_out = output_.data();
    stream_->avail_out = static_cast<uInt>(output_.size());
    const int result = inflate(stream_.get(), Z_NO_FLUSH);
    if (result == Z_BUF_ERROR && stream_->avail_in == 0) break;
    if (result != Z_OK && result != Z_STREAM_END) return SubjectStatus::kBadDigest;
    ended_ = result == Z_STREAM_END;
    // zlib's data_type after a call that did something: the unused bits of
    // the last byte taken (low three bits), 128 while waiting for the next
    // block's header.
    atBlockEnd_ = (stream_->data_type & 128) != 0 && (stream_->data_type & 7) == 0;
    const size_t length = output_.size() - stream_->avail_out;
    produced_ += length;
    if (produced_ > entry_.uncompressedSize) return SubjectStatus::kBadDigest;
    if (length > 0) {
      crc32_ = static_cast<uint32_t>(crc32_z(crc32_, output_.data(), length));
      SubjectStatus status = sink_(ByteView(output_.data(), length));
      if (status != SubjectStatus::kOk) return status;
    }
  } while (!ended_ && (stream_->avail_in > 0 || stream_->avail_out == 0));
  return ended_ && stream_->avail_in > 0 ? SubjectStatus::kBadDigest : SubjectStatus::kOk;
}

bool ZipContentDecoder::AtDeflateBlockEnd() const {
  if (!stream_) return false;
  return ended_ || (stream_->avail_in == 0 && atBlockEnd_);
}

SubjectStatus ZipContentDecoder::Finish() {
  if (stream_ && !ended_) return SubjectStatus::kBadDigest;
  return produced_ == entry_.uncompressedSize && crc32_ == entry_.crc32 ? SubjectStatus::kOk
                                                                        : SubjectStatus::kBadDigest;
}

SubjectStatus ReadZipContent(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                             const ZipContentSink& sink) {
  ZipContentDecoder decoder(entry, sink);
  SubjectStatus status = decoder.Start();
  if (status != SubjectStatus::kOk) return status;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kSubjectBufferSize, entry.compressedSize)));
  file.AdviseSequential(dataOffset, entry.compressedSize);
  for (uint64_t done = 0; done < entry.compressedSize;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.compressedSize - done));
    std::span<uint8_t> piece(buffer.data(), length);
    if (!file.Read(dataOffset + done, piece)) return SubjectStatus::kReadFault;
    status = decoder.Feed(piece);
    if (status != SubjectStatus::kOk) return status;
    done += length;
  }
  return decoder.Finish();
}

}  // namespace wintrust
