// An entry's uncompressed bytes, streamed: stored entries are read as they
// are, deflated ones through zlib's inflater, and neither is ever held whole.
#pragma once

#include <functional>

#include "wintrust/appx/zip_archive.h"

namespace wintrust {

// Takes the next piece of an entry's uncompressed bytes; anything but kOk
// stops the reading and is passed on.
using ZipContentSink = std::function<SubjectStatus(ByteView)>;

// Streams the entry whose data starts at `dataOffset` into `sink`.
// kNotThisFormat for a method other than stored or deflated; kBadDigest when
// the deflated data does not decode, ends early, or the bytes it yields
// differ in number from the entry's uncompressed size; kReadFault when a
// read fails; kOpenSsl when zlib cannot start.
SubjectStatus ReadZipContent(const ByteSource& file, const ZipEntry& entry, uint64_t dataOffset,
                             const ZipContentSink& sink);

}  // namespace wintrust
