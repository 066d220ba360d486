#include "wintrust/base/byte_view.h"

namespace wintrust {
namespace {

void PutLe(Bytes* bytes, uint64_t offset, uint64_t value, size_t byteCount) {
  for (size_t i = 0; i < byteCount; ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void PutLe16(Bytes* bytes, uint64_t offset, uint16_t value) {
  PutLe(bytes, offset, value, 2);
}

void PutLe32(Bytes* bytes, uint64_t offset, uint32_t value) {
  PutLe(bytes, offset, value, 4);
}

void PutLe64(Bytes* bytes, uint64_t offset, uint64_t value) {
  PutLe(bytes, offset, value, 8);
}

void AppendLe(Bytes* bytes, uint64_t value, size_t byteCount) {
  bytes->resize(bytes->size() + byteCount);
  PutLe(bytes, bytes->size() - byteCount, value, byteCount);
}

}  // namespace wintrust
