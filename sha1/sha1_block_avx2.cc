// Sha1BlockAvx2: the block loaded, byte-swapped and stored 32 bytes at a
// time, and the round constants added eight schedule words at a time.
//
// Built in a file of its own with -mavx2 so that AVX2 stays inside this block
// function. The vector steps are written as instructions; the reasons are
// in sha1_block_sse_steps.h, and one more applies here: the Windows compiler
// turns aligned 32-byte moves into unaligned ones.
#include "sha1/sha1_block_skeleton.h"
#include "sha1/sha1_vector_blocks.h"

// Eight schedule words at byte offset `words` plus the constant vector in
// `k`.
#define SHA1_AVX2_ADD(words, k)   \
  "vpaddd " #words "(%[w]), %%" k \
  ", %%ymm3\n\t"                  \
  "vmovdqa %%ymm3, " #words "(%[w])\n\t"

void Sha1BlockAvx2(Sha1State* state) {
  uint32_t* w = state->schedule;
  // Upper halves left dirty by other code would slow every vector
  // instruction here down. Both loads come before the first store: the
  // block may be the schedule itself.
  asm volatile(
      "vzeroupper\n\t"
      "vlddqu 0(%[block]), %%ymm0\n\t"
      "vlddqu 32(%[block]), %%ymm1\n\t"
      "vmovdqa 128(%[k]), %%ymm2\n\t"
      "vpshufb %%ymm2, %%ymm0, %%ymm0\n\t"
      "vpshufb %%ymm2, %%ymm1, %%ymm1\n\t"
      "vmovdqa %%ymm0, 0(%[w])\n\t"
      "vmovdqa %%ymm1, 32(%[w])\n\t"
      :
      : [block] "r"(state->block), [w] "r"(w), [k] "r"(&CONST_SH)
      : "xmm0", "xmm1", "xmm2", "memory");
  uint32_t window[8];
  sha1_skeleton::ReadWindow(w, window);
  sha1_skeleton::ExpandSchedule(w, window);
  // 20 words per constant do not divide into eight-word vectors: words 16-23
  // take K0 in the low lanes and K1 in the high ones, words 56-63 K2 and K3.
  asm volatile(
      "vmovdqa 0(%[k]), %%ymm0\n\t"
      "vmovdqa 32(%[k]), %%ymm1\n\t"
      "vinserti128 $1, %%xmm1, %%ymm0, %%ymm2\n\t"
      SHA1_AVX2_ADD(0, "ymm0") SHA1_AVX2_ADD(32, "ymm0")
      SHA1_AVX2_ADD(64, "ymm2")
      SHA1_AVX2_ADD(96, "ymm1") SHA1_AVX2_ADD(128, "ymm1")
      "vmovdqa 64(%[k]), %%ymm0\n\t"
      "vmovdqa 96(%[k]), %%ymm1\n\t"
      "vinserti128 $1, %%xmm1, %%ymm0, %%ymm2\n\t"
      SHA1_AVX2_ADD(160, "ymm0") SHA1_AVX2_ADD(192, "ymm0")
      SHA1_AVX2_ADD(224, "ymm2")
      SHA1_AVX2_ADD(256, "ymm1") SHA1_AVX2_ADD(288, "ymm1")
      :
      : [w] "r"(w), [k] "r"(&CONST_SH)
      : "xmm0", "xmm1", "xmm2", "xmm3", "memory");
  sha1_skeleton::CompressRounds<true>(w, state->hash);
  // Leave no dirty upper halves to the caller's SSE code.
  asm volatile("vzeroupper");
}
