// The steps that all five block functions share: the scalar load of the
// block, the expansion of the message schedule and the 80 rounds, all in
// 32-bit general-purpose instructions.
//
// Only the block-function translation units include this file, each compiling
// its own copy with its own instruction-set flag. Everything here therefore
// has internal linkage and is forced inline: one shared out-of-line copy,
// built for AVX2 say, could otherwise be picked by the linker for every
// variant, the reference included.
//
// The empty asm statements below emit nothing. They steer the compiler:
// "memory" barriers make later steps read the schedule from memory instead of
// holding all 80 words in registers (which would spill them to the stack), and
// register operands fix the order of a round so that no value has to be
// copied before it is rotated.
#pragma once

#include <cstdint>
#include <cstring>

#include "sha1/sha1.h"

#define SHA1_SKELETON_INLINE static inline __attribute__((always_inline))

namespace sha1_skeleton {

SHA1_SKELETON_INLINE uint32_t RotateLeft(uint32_t value, int count) {
  return (value << count) | (value >> (32 - count));
}

// Makes every later read of the schedule go to memory.
SHA1_SKELETON_INLINE void ScheduleBarrier() {
  asm volatile("" ::: "memory");
}

SHA1_SKELETON_INLINE uint32_t LoadBigEndian(const uint8_t* bytes) {
  uint32_t word;
  memcpy(&word, bytes, 4);
  return __builtin_bswap32(word);
}

// Stores W[4g] to W[4g+3], read from the block before any is stored, so the
// block may be the schedule itself. Leaves W[4g+1..4g+3] in x1..x3.
SHA1_SKELETON_INLINE void LoadGroup(const uint8_t* block, uint32_t* w, int g,
                                    uint32_t& x1, uint32_t& x2, uint32_t& x3) {
  uint32_t x0 = LoadBigEndian(block + 16 * g);
  x1 = LoadBigEndian(block + 16 * g + 4);
  x2 = LoadBigEndian(block + 16 * g + 8);
  x3 = LoadBigEndian(block + 16 * g + 12);
  w[4 * g] = x0;
  w[4 * g + 1] = x1;
  w[4 * g + 2] = x2;
  w[4 * g + 3] = x3;
}

// Step 1 as the reference does it: four groups of four 32-bit loads, byte
// swaps and stores. Leaves W13..W15 in x1..x3 for the expansion.
SHA1_SKELETON_INLINE void LoadBlockScalar(const uint8_t* block, uint32_t* w,
                                          uint32_t& x1, uint32_t& x2,
                                          uint32_t& x3) {
  LoadGroup(block, w, 0, x1, x2, x3);
  LoadGroup(block, w, 1, x1, x2, x3);
  LoadGroup(block, w, 2, x1, x2, x3);
  LoadGroup(block, w, 3, x1, x2, x3);
  ScheduleBarrier();
}

// ROTL1(newest ^ older1 ^ older2 ^ older3), folded into the register of
// `newest`, which the caller no longer needs: the compiler would otherwise
// reorder the chain to start from a load and copy `newest` in later.
SHA1_SKELETON_INLINE uint32_t ExpandWord(uint32_t newest, uint32_t older1,
                                         uint32_t older2, uint32_t older3) {
  newest ^= older1;
  asm("" : "+r"(newest));
  newest ^= older2;
  asm("" : "+r"(newest));
  newest ^= older3;
  return RotateLeft(newest, 1);
}

// Computes and stores W[t] to W[t+3]. On entry x1..x3 hold W[t-3..t-1], the
// three newest words, which are also in the schedule; on exit they hold
// W[t+1..t+3]. W[t+3] needs W[t], so W[t] comes first. Each word is stored
// before the next is computed, so that the other three inputs of every word
// are read straight from the schedule as memory operands instead of being
// loaded once, shared between words and copied.
SHA1_SKELETON_INLINE void ExpandGroup(uint32_t* w, int t, uint32_t& x1,
                                      uint32_t& x2, uint32_t& x3) {
  uint32_t w0 = ExpandWord(x1, w[t - 8], w[t - 14], w[t - 16]);
  w[t] = w0;
  ScheduleBarrier();
  x1 = ExpandWord(x2, w[t - 7], w[t - 13], w[t - 15]);
  w[t + 1] = x1;
  ScheduleBarrier();
  x2 = ExpandWord(x3, w[t - 6], w[t - 12], w[t - 14]);
  w[t + 2] = x2;
  ScheduleBarrier();
  x3 = ExpandWord(w0, w[t - 5], w[t - 11], w[t - 13]);
  w[t + 3] = x3;
  ScheduleBarrier();
}

// W16..W79 in 16 groups of four.
SHA1_SKELETON_INLINE void ExpandSchedule(uint32_t* w, uint32_t x1, uint32_t x2,
                                         uint32_t x3) {
  ExpandGroup(w, 16, x1, x2, x3);
  ExpandGroup(w, 20, x1, x2, x3);
  ExpandGroup(w, 24, x1, x2, x3);
  ExpandGroup(w, 28, x1, x2, x3);
  ExpandGroup(w, 32, x1, x2, x3);
  ExpandGroup(w, 36, x1, x2, x3);
  ExpandGroup(w, 40, x1, x2, x3);
  ExpandGroup(w, 44, x1, x2, x3);
  ExpandGroup(w, 48, x1, x2, x3);
  ExpandGroup(w, 52, x1, x2, x3);
  ExpandGroup(w, 56, x1, x2, x3);
  ExpandGroup(w, 60, x1, x2, x3);
  ExpandGroup(w, 64, x1, x2, x3);
  ExpandGroup(w, 68, x1, x2, x3);
  ExpandGroup(w, 72, x1, x2, x3);
  ExpandGroup(w, 76, x1, x2, x3);
}

enum RoundFunction { kChoose, kParity, kMajority, kNoNext };

template <RoundFunction kFunction>
SHA1_SKELETON_INLINE uint32_t RoundFunctionOf(uint32_t b, uint32_t c,
                                              uint32_t d) {
  if constexpr (kFunction == kChoose)
    return d ^ (b & (c ^ d));
  else if constexpr (kFunction == kParity)
    return b ^ c ^ d;
  else
    return (b & c) | ((b | c) & d);
}

// One round, t. The textbook round copies `a` to rotate it by 5 because its
// plain value is still needed as the next round's b. Here the next round's
// round function is computed first, from the plain `a`, so `a` can be rotated
// in place: by 5 for this round's sum, then by 25 more to the 30 that it
// needs as the round after next's c. The roles are those of the textbook
// round, except that on entry `b` already holds ROTL30 of its textbook value
// (the textbook round would rotate it now) and `f` holds this round's round
// function value. `word` is schedule word t; `constant` is K(t div 20) for the
// reference and 0 for the variants that added it beforehand. The new a is left
// in `e`; the caller rotates the roles.
template <RoundFunction kNext, uint32_t kConstant>
SHA1_SKELETON_INLINE void Round(uint32_t& a, uint32_t& b, uint32_t& c,
                                uint32_t& e, uint32_t& f, uint32_t word) {
  e += word + kConstant;
  e += f;
  if constexpr (kNext == kNoNext) {
    // The last round: the plain `a` is the result's b.
    e += RotateLeft(a, 5);
  } else {
    f = RoundFunctionOf<kNext>(a, b, c);
    asm("" : "+r"(a), "+r"(f));
    a = RotateLeft(a, 5);
    e += a;
    asm("" : "+r"(a), "+r"(e));
    a = RotateLeft(a, 25);
  }
}

// Five rounds from t bring the roles back to where they started.
#define SHA1_FIVE_ROUNDS(t, k, n0, n1, n2, n3, n4)                  \
  do {                                                               \
    Round<n0, k>(a, b, c, e, f, w[(t)]);                             \
    Round<n1, k>(e, a, b, d, f, w[(t) + 1]);                         \
    Round<n2, k>(d, e, a, c, f, w[(t) + 2]);                         \
    Round<n3, k>(c, d, e, b, f, w[(t) + 3]);                         \
    Round<n4, k>(b, c, d, a, f, w[(t) + 4]);                         \
  } while (0)

// Runs the 80 rounds on `hash`, taking schedule word t in round t, and adds
// the result into `hash`. kPreAdded says whether the schedule words already
// include the round constants.
template <bool kPreAdded>
SHA1_SKELETON_INLINE void CompressRounds(const uint32_t* w, uint32_t* hash) {
  constexpr uint32_t k0 = kPreAdded ? 0 : 0x5A827999;
  constexpr uint32_t k1 = kPreAdded ? 0 : 0x6ED9EBA1;
  constexpr uint32_t k2 = kPreAdded ? 0 : 0x8F1BBCDC;
  constexpr uint32_t k3 = kPreAdded ? 0 : 0xCA62C1D6;
  uint32_t a = hash[0];
  uint32_t b = hash[1];
  uint32_t c = hash[2];
  uint32_t d = hash[3];
  uint32_t e = hash[4];
  uint32_t f = RoundFunctionOf<kChoose>(b, c, d);
  b = RotateLeft(b, 30);

  SHA1_FIVE_ROUNDS(0, k0, kChoose, kChoose, kChoose, kChoose, kChoose);
  SHA1_FIVE_ROUNDS(5, k0, kChoose, kChoose, kChoose, kChoose, kChoose);
  SHA1_FIVE_ROUNDS(10, k0, kChoose, kChoose, kChoose, kChoose, kChoose);
  SHA1_FIVE_ROUNDS(15, k0, kChoose, kChoose, kChoose, kChoose, kParity);
  SHA1_FIVE_ROUNDS(20, k1, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(25, k1, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(30, k1, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(35, k1, kParity, kParity, kParity, kParity, kMajority);
  SHA1_FIVE_ROUNDS(40, k2, kMajority, kMajority, kMajority, kMajority,
                   kMajority);
  SHA1_FIVE_ROUNDS(45, k2, kMajority, kMajority, kMajority, kMajority,
                   kMajority);
  SHA1_FIVE_ROUNDS(50, k2, kMajority, kMajority, kMajority, kMajority,
                   kMajority);
  SHA1_FIVE_ROUNDS(55, k2, kMajority, kMajority, kMajority, kMajority,
                   kParity);
  SHA1_FIVE_ROUNDS(60, k3, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(65, k3, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(70, k3, kParity, kParity, kParity, kParity, kParity);
  SHA1_FIVE_ROUNDS(75, k3, kParity, kParity, kParity, kParity, kNoNext);

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
}

#undef SHA1_FIVE_ROUNDS

}  // namespace sha1_skeleton
