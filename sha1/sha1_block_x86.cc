// Sha1BlockX86, the reference block function: general-purpose registers only.
//
// It has a file of its own, built without the use of any vector register, so
// that the reference stays what it claims to be whatever the compiler's
// vectoriser would make of the schedule code.
#include "sha1/sha1.h"
#include "sha1/sha1_block_skeleton.h"

void Sha1BlockX86(Sha1State* state) {
  uint32_t* w = state->schedule;
  uint32_t x1;
  uint32_t x2;
  uint32_t x3;
  sha1_skeleton::LoadBlockScalar(state->block, w, x1, x2, x3);
  sha1_skeleton::ExpandSchedule(w, x1, x2, x3);
  // The round constants go in as immediate operands.
  sha1_skeleton::CompressRounds<false>(w, state->hash);
}
