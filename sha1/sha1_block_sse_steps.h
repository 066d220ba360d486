// The constant pre-add that Sha1BlockSse2 and Sha1BlockSsse3 share, in legacy
// SSE2 encoding (MOVDQA, PADDD).
//
// The vector steps of the block functions are written as instructions, not
// intrinsics: compilers otherwise pick their own forms (MOVAPS for an aligned
// integer store, unaligned moves on Windows) and their own registers (XMM6
// and up, which Windows makes the callee save on the stack). Only XMM0 to
// XMM5 are used, which no calling convention asks to preserve.
#pragma once

#include <cstdint>

#include "sha1/sha1_vector_blocks.h"

// Four schedule words at byte offset `words` plus the first 16 bytes of the K
// row at byte offset `row`, through XMM register `reg`.
#define SHA1_SSE_ADD(words, row, reg) \
  "movdqa " #words "(%[w]), %%" reg   \
  "\n\t"                              \
  "paddd " #row "(%[k]), %%" reg      \
  "\n\t"                              \
  "movdqa %%" reg ", " #words "(%[w])\n\t"

namespace sha1_sse_steps {

// Schedule word t becomes Wt + K(t div 20): 20 aligned 16-byte loads, adds
// and stores, five per K row. The "memory" clobber also makes the compiler
// read the schedule afresh afterwards.
static inline __attribute__((always_inline)) void AddRoundConstants(uint32_t* w) {
  asm volatile(SHA1_SSE_ADD(0, 0, "xmm0") SHA1_SSE_ADD(16, 0, "xmm1") SHA1_SSE_ADD(32, 0, "xmm0") SHA1_SSE_ADD(
                   48, 0, "xmm1") SHA1_SSE_ADD(64, 0, "xmm0") SHA1_SSE_ADD(80, 32, "xmm1") SHA1_SSE_ADD(96, 32, "xmm0")
                   SHA1_SSE_ADD(112, 32, "xmm1") SHA1_SSE_ADD(128, 32, "xmm0") SHA1_SSE_ADD(144, 32, "xmm1")
                       SHA1_SSE_ADD(160, 64, "xmm0") SHA1_SSE_ADD(176, 64, "xmm1") SHA1_SSE_ADD(192, 64, "xmm0")
                           SHA1_SSE_ADD(208, 64, "xmm1") SHA1_SSE_ADD(224, 64, "xmm0") SHA1_SSE_ADD(240, 96, "xmm1")
                               SHA1_SSE_ADD(256, 96, "xmm0") SHA1_SSE_ADD(272, 96, "xmm1") SHA1_SSE_ADD(288, 96, "xmm0")
                                   SHA1_SSE_ADD(304, 96, "xmm1")
               :
               : [w] "r"(w), [k] "r"(CONST_SH.roundConstants)
               : "xmm0", "xmm1", "memory");
}

}  // namespace sha1_sse_steps

#undef SHA1_SSE_ADD
