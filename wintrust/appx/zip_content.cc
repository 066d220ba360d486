#include "wintrust/appx/zip_content.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

constexpr size_t kInflateOutputSize = size_t{64} << 10;

SubjectStatus ReadStored(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                         const ZipContentSink& sink) {
  if (entry.compressedSize != entry.uncompressedSize) return SubjectStatus::kBadDigest;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kSubjectBufferSize, entry.compressedSize)));
  file.AdviseSequential(dataOffset, entry.compressedSize);
  for (uint64_t done = 0; done < entry.compressedSize;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.compressedSize - done));
    std::span<uint8_t> piece(buffer.data(), length);
    if (!file.Read(dataOffset + done, piece)) return SubjectStatus::kReadFault;
    SubjectStatus status = sink(piece);
    if (status != SubjectStatus::kOk) return status;
    done += length;
  }
  return SubjectStatus::kOk;
}

struct InflateEnd {
  void operator()(z_stream* stream) const {
    inflateEnd(stream);
    delete stream;
  }
};

SubjectStatus ReadDeflated(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                           const ZipContentSink& sink) {
  auto* raw = new z_stream{};
  // A negative window size: raw deflate data, as ZIP stores it.
  if (inflateInit2(raw, -MAX_WBITS) != Z_OK) {
    delete raw;
    return SubjectStatus::kOpenSsl;
  }
  std::unique_ptr<z_stream, InflateEnd> stream(raw);
  std::vector<uint8_t> input(static_cast<size_t>(std::min<uint64_t>(kSubjectBufferSize, entry.compressedSize)));
  std::vector<uint8_t> output(kInflateOutputSize);
  uint64_t consumed = 0;
  uint64_t produced = 0;
  file.AdviseSequential(dataOffset, entry.compressedSize);
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (stream->avail_in == 0) {
      if (consumed == entry.compressedSize) return SubjectStatus::kBadDigest;
      const size_t length = static_cast<size_t>(std::min<uint64_t>(input.size(), entry.compressedSize - consumed));
      if (!file.Read(dataOffset + consumed, std::span<uint8_t>(input.data(), length))) {
        return SubjectStatus::kReadFault;
      }
      consumed += length;
      stream->next_in = input.data();
      stream->avail_in = static_cast<uInt>(length);
    }
    stream->next_out = output.data();
    stream->avail_out = static_cast<uInt>(output.size());
    result = inflate(stream.get(), Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) return SubjectStatus::kBadDigest;
    const size_t length = output.size() - stream->avail_out;
    produced += length;
    if (produced > entry.uncompressedSize) return SubjectStatus::kBadDigest;
    if (length > 0) {
      SubjectStatus status = sink(ByteView(output.data(), length));
      if (status != SubjectStatus::kOk) return status;
    }
  }
  return produced == entry.uncompressedSize ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
}

}  // namespace

SubjectStatus ReadZipContent(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                             const ZipContentSink& sink) {
  switch (entry.method) {
    case kZipStored:
      return ReadStored(file, entry, dataOffset, sink);
    case kZipDeflated:
      return ReadDeflated(file, entry, dataOffset, sink);
    default:
      return SubjectStatus::kNotThisFormat;
  }
}

}  // namespace wintrust
