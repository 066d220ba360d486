#include "sha1/sha1.h"

#include <cstring>

#include "sha1/block_selection.h"

namespace {

uint8_t* Buffer(Sha1State* state) {
  return reinterpret_cast<uint8_t*>(state->schedule);
}

void StoreBigEndian(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

}  // namespace

void Sha1Hasher::Init() {
  // The pointer field ahead of `storage` leaves `storage` 8-byte aligned at
  // best, so the 32-byte boundary is found at run time, not by the type.
  uintptr_t address = reinterpret_cast<uintptr_t>(storage);
  address = (address + 31) & ~static_cast<uintptr_t>(31);
  state = reinterpret_cast<Sha1State*>(address);
  blockFunction = SelectSha1BlockFunction();
}

void Sha1Hasher::Reset() {
  state->hash[0] = 0x67452301;
  state->hash[1] = 0xEFCDAB89;
  state->hash[2] = 0x98BADCFE;
  state->hash[3] = 0x10325476;
  state->hash[4] = 0xC3D2E1F0;
  state->byteCount[0] = 0;
  state->byteCount[1] = 0;
  state->fill = 0;
}

void Sha1Hasher::Update(const void* data, uint32_t length) {
  if (length == 0) return;
  const uint8_t* input = static_cast<const uint8_t*>(data);

  uint32_t low = state->byteCount[0] + length;
  if (low < length) ++state->byteCount[1];
  state->byteCount[0] = low;

  if (state->fill != 0) {
    uint32_t room = 64 - state->fill;
    if (length < room) {
      memcpy(Buffer(state) + state->fill, input, length);
      state->fill += length;
      return;
    }
    memcpy(Buffer(state) + state->fill, input, room);
    input += room;
    length -= room;
    state->fill = 0;
    state->block = Buffer(state);
    blockFunction(state);
  }

  // Whole blocks are compressed where they lie; only the tail is copied.
  for (uint32_t blocks = length / 64; blocks != 0; --blocks) {
    state->block = input;
    blockFunction(state);
    input += 64;
  }

  uint32_t rest = length % 64;
  if (rest != 0) {
    memcpy(Buffer(state), input, rest);
    state->fill = rest;
  }
}

void Sha1Hasher::Final(uint8_t* digest) {
  uint8_t* buffer = Buffer(state);
  buffer[state->fill] = 0x80;
  ++state->fill;
  state->block = buffer;

  if (state->fill > 56) {
    // No room for the length behind the marker: pad out this block and put
    // the length in a block of its own.
    memset(buffer + state->fill, 0, 64 - state->fill);
    state->fill = 0;
    blockFunction(state);
    // The block function used the buffer as schedule scratch.
    memset(buffer, 0, 56);
  } else {
    memset(buffer + state->fill, 0, 56 - state->fill);
  }

  uint32_t bitsHigh = (state->byteCount[1] << 3) | (state->byteCount[0] >> 29);
  uint32_t bitsLow = state->byteCount[0] << 3;
  StoreBigEndian(bitsHigh, buffer + 56);
  StoreBigEndian(bitsLow, buffer + 60);
  blockFunction(state);

  for (int i = 0; i < 5; ++i) StoreBigEndian(state->hash[i], digest + 4 * i);
}

void DigestToHex(const uint8_t* digest, WideChar* text) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 20; ++i) {
    text[2 * i] = static_cast<WideChar>(kDigits[digest[i] >> 4]);
    text[2 * i + 1] = static_cast<WideChar>(kDigits[digest[i] & 0x0F]);
  }
  text[40] = 0;
}
