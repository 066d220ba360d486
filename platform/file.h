// Files: opening the checked files, creating the report, sizes, reads, writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

namespace platform {

// An open file with one owner; closed when the owner goes or on Close().
class File {
 public:
  File() = default;
  explicit File(intptr_t native) : native_(native) {}
  File(File&& other) noexcept : native_(other.Release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      native_ = other.Release();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  bool IsOpen() const { return native_ != kInvalid; }
  intptr_t native() const { return native_; }
  void Close();

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t Release() {
    const intptr_t native = native_;
    native_ = kInvalid;
    return native;
  }

  intptr_t native_ = kInvalid;
};

// Memory that a whole file is read into, released when its owner goes. It is
// taken straight from the system, in large pages where the system gives
// them, so that the read fills it without the kernel faulting in and zeroing
// it one small page at a time. data() is null when there is no memory for
// it.
class ReadBuffer {
 public:
  explicit ReadBuffer(size_t size);
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer();

  uint8_t* data() const { return data_; }

 private:
  // What was taken from the system; data_ lies inside it.
  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  uint8_t* data_ = nullptr;
};

// Opens an existing regular file for reading while other processes may go on
// reading and writing it. A path that is missing, unreadable or not a regular
// file (directory, FIFO, device, socket) gives a closed File. Never blocks.
File OpenForReading(const WideChar* path);

// Creates a new, empty file with a name of its own beside `finalPath`, for
// writing, and stores that name in `temporaryPath`. MoveIntoPlace later puts
// it at `finalPath` in one step, so readers and concurrent writers only ever
// see a whole file there. Gives a closed File when it cannot be created;
// `directoryRefused`, when given, then tells whether that is because the
// user may not write that directory (no permission, a read-only file
// system), as opposed to any other cause.
File CreateTemporaryBeside(const WideChar* finalPath, WideString* temporaryPath, bool* directoryRefused = nullptr);

// Where the report goes when the program's own directory refuses the user:
// stores that directory, without a trailing separator, in `directory`,
// creating it for the user alone when missing, and returns true. False when
// the platform has no such place or it cannot be made.
bool GetReportFallbackDirectory(WideString* directory);

// Renames the closed file at `temporaryPath` to `finalPath`, replacing what
// stood there (a link itself, never the file a link points to). On Windows,
// when the move is refused because another program holds `finalPath` open
// without sharing its deletion, the content is written over that file in
// place instead, which works where that program shares writing. The
// temporary file is gone afterwards; false when nothing was placed.
bool MoveIntoPlace(const WideString& temporaryPath, const WideChar* finalPath);

// Stores the full size of an open file in bytes in `size`. Returns false,
// leaving `size` alone, when the system cannot say it.
bool SizeOf(const File& file, uint64_t* size);

// Reads exactly `size` bytes from the current position. Returns false when
// fewer bytes could be read (a read error, or the file shrank meanwhile).
bool ReadExactly(const File& file, void* buffer, size_t size);

// Appends all `size` bytes. Returns false when not every byte was written.
bool WriteAll(const File& file, const void* data, size_t size);

}  // namespace platform
