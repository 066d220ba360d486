// The four vector block functions and the constant block they read.
//
// Each is a drop-in Sha1BlockFunction (see sha1.h): same contract, same
// chaining values as Sha1BlockX86 for every state and block. The vector unit
// does only two steps: loading and byte-swapping the block (except in
// Sha1BlockSse2), and adding the round constant to all 80 schedule words
// before the rounds. The expansion and the 80 rounds are the same 32-bit
// integer code as in the reference.
//
// After a call, schedule word t holds Wt + K(t div 20), where the reference
// leaves Wt. Callers must have checked that the processor and the operating
// system support the function's instruction sets (SelectSha1BlockFunction in
// block_selection.h does); the state must lie on a 32-byte boundary.
#pragma once

#include <cstdint>

#include "sha1/sha1.h"

// SSE2: scalar load and byte swap, 16-byte constant additions.
void Sha1BlockSse2(Sha1State* state);
// SSE2, SSE3 and SSSE3: 16-byte unaligned loads, byte shuffle, 16-byte
// constant additions.
void Sha1BlockSsse3(Sha1State* state);
// AVX, 128-bit operations only.
void Sha1BlockAvx(Sha1State* state);
// AVX and AVX2: 32-byte loads, shuffle and constant additions.
void Sha1BlockAvx2(Sha1State* state);

// The round constants and the byte-swap mask, each as one 32-byte row, so a
// 16-byte or a 32-byte aligned load takes a whole row or its first half.
struct alignas(32) Sha1Constants {
  // Row i is K(i) eight times: the constant of rounds 20*i to 20*i + 19.
  uint32_t roundConstants[4][8];
  // A byte shuffle by this mask reverses the bytes of every 32-bit word.
  uint8_t byteSwapMask[32];
};

static_assert(sizeof(Sha1Constants) == 160, "five rows of 32 bytes");

// Read-only, in a data section of its own named CONST_SH (eight characters,
// so the name survives unshortened in a PE/COFF section header). The
// assemblers reserve a section's name as a symbol, so the object's symbol is
// spelled differently.
extern const Sha1Constants CONST_SH __asm__("sha1_CONST_SH");
