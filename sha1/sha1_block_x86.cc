// Sha1BlockX86, the reference block function: general-purpose registers only.
//
// It has a file of its own, built without the use of any vector register, so
// that the reference stays what it claims to be whatever the compiler's
// vectoriser would make of the schedule code.
#include "sha1/sha1.h"
#include "sha1/sha1_block_skeleton.h"

void Sha1BlockX86(Sha1State* state) {
  uint32_t* w = state->schedule;
  uint32_t window[8];
  sha1_skeleton::LoadBlockScalar(state->block, w, window);
  sha1_skeleton::ExpandSchedule(w, window);
  // The round constants go in as immediate operands.
  sha1_skeleton::CompressRounds<false>(w, state->hash);
}
