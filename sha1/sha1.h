// Streaming SHA-1 (FIPS 180-4) over bytes in memory.
//
// A hasher lives in its caller's frame and allocates nothing. Use: zero-fill
// (`Sha1Hasher hasher = {};`), Init, Reset, any number of Update calls, Final.
#pragma once

#include <cstdint>

#include "platform/text.h"

// Working area of one hasher. It starts on a 32-byte boundary because the
// vector block functions use aligned 16- and 32-byte stores into `schedule`.
struct Sha1State {
  // W0..W79 of the block being compressed. Between calls its first 64 bytes
  // buffer the `fill` message bytes not yet compressed.
  uint32_t schedule[80];
  // The 64 bytes the next block-function call compresses: the buffer above or
  // the caller's input. Owns nothing.
  const uint8_t* block;
  uint32_t hash[5];
  // Bytes passed to Update since Reset: low word, then high word.
  uint32_t byteCount[2];
  // Bytes waiting in the buffer; always byteCount modulo 64 between calls.
  uint32_t fill;
};

// Compresses the 64 bytes at state->block into state->hash. May overwrite all
// of `schedule`; never writes through `block`; leaves `block`, `byteCount` and
// `fill` unchanged. `block` may point at `schedule` itself.
using Sha1BlockFunction = void (*)(Sha1State* state);

class Sha1Hasher {
 public:
  // Places the working area on the first 32-byte boundary in `storage` and
  // stores the block function SelectSha1BlockFunction (block_selection.h) picks
  // for this processor. Writes nothing into the working area.
  void Init();
  // Starts a message: the initial hash value, a byte count of 0, an empty
  // buffer. Nothing else is written.
  void Reset();
  // Absorbs `length` bytes at `data`, which are only read and may have any
  // alignment. Whole 64-byte blocks are compressed where they lie; at most 63
  // bytes are buffered. A length of 0 changes nothing.
  void Update(const void* data, uint32_t length);
  // Pads the message, compresses the last block or two and writes the 20-byte
  // digest, H0 to H4 each most significant byte first. The hasher needs Reset
  // before further use.
  void Final(uint8_t* digest);

  Sha1State* state;
  // Room for one Sha1State on its 32-byte boundary wherever the object lies.
  alignas(void*) uint8_t storage[sizeof(Sha1State) + 32];
  Sha1BlockFunction blockFunction;
};

// Writes 40 lowercase hexadecimal digits of `digest` and a terminating zero
// into `text`, which has room for 41 units.
void DigestToHex(const uint8_t* digest, WideChar* text);

// The reference block function: 32-bit general-purpose operations only.
void Sha1BlockX86(Sha1State* state);
