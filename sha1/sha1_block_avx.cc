// Sha1BlockAvx: Sha1BlockSsse3's steps in their VEX-encoded 128-bit forms
// (VLDDQU, VPSHUFB, VMOVDQA, and VPADDD with the schedule as memory operand).
//
// Built in a file of its own with -mavx so that AVX stays inside this block
// function; nothing here is 256 bits wide. The vector steps are written as
// instructions; sha1_block_sse_steps.h says why.
#include "sha1/sha1_block_skeleton.h"
#include "sha1/sha1_vector_blocks.h"

// Four schedule words at byte offset `words` plus the K row held in `row`.
#define SHA1_AVX_ADD(words, row)    \
  "vpaddd " #words "(%[w]), %%" row \
  ", %%xmm4\n\t"                    \
  "vmovdqa %%xmm4, " #words "(%[w])\n\t"

void Sha1BlockAvx(Sha1State* state) {
  uint32_t* w = state->schedule;
  // Upper register halves left dirty by other code would make every
  // VEX-encoded 128-bit instruction here pay for merging them. All four
  // loads come before the first store: the block may be the schedule itself.
  asm volatile(
      "vzeroupper\n\t"
      "vmovdqa 128(%[k]), %%xmm4\n\t"
      "vlddqu 0(%[block]), %%xmm0\n\t"
      "vlddqu 16(%[block]), %%xmm1\n\t"
      "vlddqu 32(%[block]), %%xmm2\n\t"
      "vlddqu 48(%[block]), %%xmm3\n\t"
      "vpshufb %%xmm4, %%xmm0, %%xmm0\n\t"
      "vpshufb %%xmm4, %%xmm1, %%xmm1\n\t"
      "vpshufb %%xmm4, %%xmm2, %%xmm2\n\t"
      "vpshufb %%xmm4, %%xmm3, %%xmm3\n\t"
      "vmovdqa %%xmm0, 0(%[w])\n\t"
      "vmovdqa %%xmm1, 16(%[w])\n\t"
      "vmovdqa %%xmm2, 32(%[w])\n\t"
      "vmovdqa %%xmm3, 48(%[w])\n\t"
      :
      : [block] "r"(state->block), [w] "r"(w), [k] "r"(&CONST_SH)
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "memory");
  uint32_t window[8];
  sha1_skeleton::ReadWindow(w, window);
  sha1_skeleton::ExpandSchedule(w, window);
  // Two K rows at a time in registers; the schedule words are the memory
  // operands of the non-destructive additions.
  asm volatile(
      "vmovdqa 0(%[k]), %%xmm0\n\t"
      "vmovdqa 32(%[k]), %%xmm1\n\t"
      SHA1_AVX_ADD(0, "xmm0") SHA1_AVX_ADD(16, "xmm0")
      SHA1_AVX_ADD(32, "xmm0") SHA1_AVX_ADD(48, "xmm0")
      SHA1_AVX_ADD(64, "xmm0")
      SHA1_AVX_ADD(80, "xmm1") SHA1_AVX_ADD(96, "xmm1")
      SHA1_AVX_ADD(112, "xmm1") SHA1_AVX_ADD(128, "xmm1")
      SHA1_AVX_ADD(144, "xmm1")
      "vmovdqa 64(%[k]), %%xmm0\n\t"
      "vmovdqa 96(%[k]), %%xmm1\n\t"
      SHA1_AVX_ADD(160, "xmm0") SHA1_AVX_ADD(176, "xmm0")
      SHA1_AVX_ADD(192, "xmm0") SHA1_AVX_ADD(208, "xmm0")
      SHA1_AVX_ADD(224, "xmm0")
      SHA1_AVX_ADD(240, "xmm1") SHA1_AVX_ADD(256, "xmm1")
      SHA1_AVX_ADD(272, "xmm1") SHA1_AVX_ADD(288, "xmm1")
      SHA1_AVX_ADD(304, "xmm1")
      :
      : [w] "r"(w), [k] "r"(&CONST_SH)
      : "xmm0", "xmm1", "xmm4", "memory");
  sha1_skeleton::CompressRounds<true>(w, state->hash);
}
