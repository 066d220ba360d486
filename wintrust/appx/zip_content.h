// An entry's uncompressed bytes, streamed: stored entries are passed on as
// they are, deflated ones through zlib's inflater, and neither is ever held
// whole.
#pragma once

#include <zlib.h>

#include <functional>
#include <memory>
#include <vector>

#include "wintrust/appx/zip_archive.h"

namespace wintrust {

// Takes the next piece of an entry's uncompressed bytes; anything but kOk
// stops the reading and is passed on.
using ZipContentSink = std::function<SubjectStatus(ByteView)>;

// True for the methods packages use: stored and deflated.
bool KnownZipMethod(const ZipEntry& entry);

// Decodes an entry's data handed over in pieces, in order, as whoever reads
// the file comes by them: one read of the file can then serve both the
// hash of the records and the entry's content. Statuses as ReadZipContent's.
class ZipContentDecoder {
 public:
  ZipContentDecoder(const ZipEntry& entry, ZipContentSink sink);
  ~ZipContentDecoder();
  ZipContentDecoder(const ZipContentDecoder&) = delete;
  ZipContentDecoder& operator=(const ZipContentDecoder&) = delete;

  SubjectStatus Start();
  SubjectStatus Feed(ByteView data);
  // After the entry's last piece.
  SubjectStatus Finish();

  // The uncompressed bytes handed on so far.
  uint64_t produced() const { return produced_; }
  // True when the data fed so far ends a deflate block on a byte boundary
  // with every byte it holds handed on (or ends the stream): where a block
  // compressed on its own ends.
  bool AtDeflateBlockEnd() const;

 private:
  const ZipEntry& entry_;
  ZipContentSink sink_;
  std::unique_ptr<z_stream> stream_;  // null for a stored entry
  std::vector<uint8_t> output_;
  uint64_t produced_ = 0;
  uint32_t crc32_ = 0;
  bool ended_ = false;
  bool atBlockEnd_ = false;
};

// Streams the entry whose data starts at `dataOffset` into `sink`.
// kNotThisFormat for a method other than stored or deflated; kBadDigest when
// the deflated data does not decode, ends early or is followed by more, or
// the bytes it yields differ in number or CRC-32 from what the directory
// says; kReadFault when a
// read fails; kOpenSsl when zlib cannot start.
SubjectStatus ReadZipContent(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                             const ZipContentSink& sink);

}  // namespace wintrust
