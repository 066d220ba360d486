// Sha1BlockSsse3: the block loaded with LDDQU and byte-swapped with PSHUFB,
// the round constants added four words at a time (MOVDQA, PADDD).
//
// Built in a file of its own with -mssse3 and -msse3 (LDDQU) so that those
// instruction sets stay inside this block function. The vector steps are
// written as instructions; sha1_block_sse_steps.h says why.
#include "sha1/sha1_block_skeleton.h"
#include "sha1/sha1_block_sse_steps.h"
#include "sha1/sha1_vector_blocks.h"

void Sha1BlockSsse3(Sha1State* state) {
  uint32_t* w = state->schedule;
  // All four loads come before the first store: the block may be the
  // schedule itself.
  asm volatile(
      "lddqu 0(%[block]), %%xmm0\n\t"
      "lddqu 16(%[block]), %%xmm1\n\t"
      "lddqu 32(%[block]), %%xmm2\n\t"
      "lddqu 48(%[block]), %%xmm3\n\t"
      "pshufb 128(%[k]), %%xmm0\n\t"
      "pshufb 128(%[k]), %%xmm1\n\t"
      "pshufb 128(%[k]), %%xmm2\n\t"
      "pshufb 128(%[k]), %%xmm3\n\t"
      "movdqa %%xmm0, 0(%[w])\n\t"
      "movdqa %%xmm1, 16(%[w])\n\t"
      "movdqa %%xmm2, 32(%[w])\n\t"
      "movdqa %%xmm3, 48(%[w])\n\t"
      :
      : [block] "r"(state->block), [w] "r"(w), [k] "r"(&CONST_SH)
      : "xmm0", "xmm1", "xmm2", "xmm3", "memory");
  uint32_t window[8];
  sha1_skeleton::ReadWindow(w, window);
  sha1_skeleton::ExpandSchedule(w, window);
  sha1_sse_steps::AddRoundConstants(w);
  sha1_skeleton::CompressRounds<true>(w, state->hash);
}
