// Sha1BlockSse2: the reference's scalar load and byte swap, and the round
// constants added to the schedule four words at a time (MOVDQA, PADDD).
//
// Built in a file of its own with -msse2 so that the instruction set stays
// inside this block function.
#include "sha1/sha1_block_skeleton.h"
#include "sha1/sha1_block_sse_steps.h"
#include "sha1/sha1_vector_blocks.h"

void Sha1BlockSse2(Sha1State* state) {
  uint32_t* w = state->schedule;
  uint32_t window[8];
  sha1_skeleton::LoadBlockScalar(state->block, w, window);
  sha1_skeleton::ExpandSchedule(w, window);
  sha1_sse_steps::AddRoundConstants(w);
  sha1_skeleton::CompressRounds<true>(w, state->hash);
}
