// The steps that all five block functions share, in 32-bit general-purpose
// instructions. Every block function runs the same steps in this order:
//  1. load W0..W15, each read most significant byte first, into the schedule
//     (scalar here; with vector loads and a byte shuffle in three variants);
//  2. expand W16..W79 in 16 groups of four;
//  3. in the vector variants only, add K(t div 20) to every schedule word;
//  4. run the 80 rounds, taking schedule word t in round t;
//  5. add the working variables into the chaining value.
//
// Only the block-function translation units include this file, each compiling
// its own copy with its own instruction-set flag. Everything here therefore
// has internal linkage and is forced inline: one shared out-of-line copy,
// built for AVX2 say, could otherwise be picked by the linker for every
// variant, the reference included.
//
// The expansion words and the rounds are written as instructions. Left to
// itself the compiler copies values it could rotate in place, keeps all the
// schedule words in registers until it must spill them to the stack, chains
// the operations in an order that lengthens the dependency chains, and
// rotates by one with the short encoding that costs two micro-operations on
// many processors. The "memory" barriers keep the groups of the expansion in
// order and make the later steps read the schedule from memory.
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
// block may be the schedule itself, and leaves them in x0..x3.
SHA1_SKELETON_INLINE void LoadGroup(const uint8_t* block, uint32_t* w, int g, uint32_t& x0, uint32_t& x1, uint32_t& x2,
                                    uint32_t& x3) {
  x0 = LoadBigEndian(block + 16 * g);
  x1 = LoadBigEndian(block + 16 * g + 4);
  x2 = LoadBigEndian(block + 16 * g + 8);
  x3 = LoadBigEndian(block + 16 * g + 12);
  w[4 * g] = x0;
  w[4 * g + 1] = x1;
  w[4 * g + 2] = x2;
  w[4 * g + 3] = x3;
}

// Step 1 as the reference does it: four groups of four 32-bit loads, byte
// swaps and stores. Leaves W8..W15 in x[0..7] for the expansion.
SHA1_SKELETON_INLINE void LoadBlockScalar(const uint8_t* block, uint32_t* w, uint32_t (&x)[8]) {
  LoadGroup(block, w, 0, x[0], x[1], x[2], x[3]);
  LoadGroup(block, w, 1, x[4], x[5], x[6], x[7]);
  LoadGroup(block, w, 2, x[0], x[1], x[2], x[3]);
  LoadGroup(block, w, 3, x[4], x[5], x[6], x[7]);
  ScheduleBarrier();
}

#if defined(__x86_64__)
// W[t] = ROTL1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]), stored into the schedule.
// The eight newest words are also kept in registers, so that only the two
// oldest inputs are read from memory; W[t] is computed in the register of
// W[t-8], which no later word of the expansion needs from a register. W[t-3]
// comes in last: it is the input that was computed most recently, and the
// chain from one word to the word three places on is then only one XOR and
// the rotation long. The rotation is spelled as a right rotation by 31: the
// same value, but an encoding that processors run as one micro-operation
// where the short rotate-by-one form takes two.
#define SHA1_EXPAND_WORD(t, newest, oldest) \
  asm("xorl %[w14], %[x]\n\t"               \
      "xorl %[w16], %[x]\n\t"               \
      "xorl %[w3], %[x]\n\t"                \
      "rorl $31, %[x]\n\t"                  \
      "movl %[x], %[wt]"                    \
      : [x] "+r"(oldest), [wt] "=m"(w[(t)]) \
      : [w3] "r"(newest), [w14] "m"(w[(t)-14]), [w16] "m"(w[(t)-16]))

// One group: W[t] to W[t+3]. On entry x0..x7 hold W[t-8..t-1], x0 the oldest;
// on exit x0..x3 hold W[t..t+3], so the next group takes the eight with
// x4..x7 first. W[t+3] needs W[t], which comes first.
#define SHA1_EXPAND_GROUP(t, x0, x1, x2, x3, x4, x5, x6, x7) \
  SHA1_EXPAND_WORD((t), x5, x0);                             \
  SHA1_EXPAND_WORD((t) + 1, x6, x1);                         \
  SHA1_EXPAND_WORD((t) + 2, x7, x2);                         \
  SHA1_EXPAND_WORD((t) + 3, x0, x3);                         \
  ScheduleBarrier()

// W16..W79 in 16 groups of four, each stored before the next group starts.
// x[0..7] hold W8..W15 on entry.
SHA1_SKELETON_INLINE void ExpandSchedule(uint32_t* w, const uint32_t (&x)[8]) {
  uint32_t x0 = x[0];
  uint32_t x1 = x[1];
  uint32_t x2 = x[2];
  uint32_t x3 = x[3];
  uint32_t x4 = x[4];
  uint32_t x5 = x[5];
  uint32_t x6 = x[6];
  uint32_t x7 = x[7];
  SHA1_EXPAND_GROUP(16, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(20, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(24, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(28, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(32, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(36, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(40, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(44, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(48, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(52, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(56, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(60, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(64, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(68, x4, x5, x6, x7, x0, x1, x2, x3);
  SHA1_EXPAND_GROUP(72, x0, x1, x2, x3, x4, x5, x6, x7);
  SHA1_EXPAND_GROUP(76, x4, x5, x6, x7, x0, x1, x2, x3);
}

#else
// The 32-bit form has seven registers for the block function, too few for
// the eight-word window besides the schedule's address: every input of a
// word is read from the schedule except W[t-3] of the group's last word,
// which is the group's first word and still in a register. The order and
// the rotation follow the 64-bit form above.
#define SHA1_EXPAND_WORD(t, word, newest)  \
  asm("movl %[w8], %[x]\n\t"               \
      "xorl %[w14], %[x]\n\t"              \
      "xorl %[w16], %[x]\n\t"              \
      "xorl %[w3], %[x]\n\t"               \
      "rorl $31, %[x]\n\t"                 \
      "movl %[x], %[wt]"                   \
      : [x] "=&r"(word), [wt] "=m"(w[(t)]) \
      : [w3] "rm"(newest), [w8] "m"(w[(t)-8]), [w14] "m"(w[(t)-14]), [w16] "m"(w[(t)-16]))

// One group: W[t] to W[t+3], stored before the next group starts.
#define SHA1_EXPAND_GROUP(t)               \
  SHA1_EXPAND_WORD((t), x0, w[(t)-3]);     \
  SHA1_EXPAND_WORD((t) + 1, x1, w[(t)-2]); \
  SHA1_EXPAND_WORD((t) + 2, x2, w[(t)-1]); \
  SHA1_EXPAND_WORD((t) + 3, x3, x0);       \
  ScheduleBarrier()

// W16..W79 in 16 groups of four. The window that step 1 leaves is not
// needed: its words are read back from the schedule.
SHA1_SKELETON_INLINE void ExpandSchedule(uint32_t* w, const uint32_t (&)[8]) {
  uint32_t x0;
  uint32_t x1;
  uint32_t x2;
  uint32_t x3;
  SHA1_EXPAND_GROUP(16);
  SHA1_EXPAND_GROUP(20);
  SHA1_EXPAND_GROUP(24);
  SHA1_EXPAND_GROUP(28);
  SHA1_EXPAND_GROUP(32);
  SHA1_EXPAND_GROUP(36);
  SHA1_EXPAND_GROUP(40);
  SHA1_EXPAND_GROUP(44);
  SHA1_EXPAND_GROUP(48);
  SHA1_EXPAND_GROUP(52);
  SHA1_EXPAND_GROUP(56);
  SHA1_EXPAND_GROUP(60);
  SHA1_EXPAND_GROUP(64);
  SHA1_EXPAND_GROUP(68);
  SHA1_EXPAND_GROUP(72);
  SHA1_EXPAND_GROUP(76);
}
#endif

// The eight newest words of step 1 for the variants that stored them with
// vector instructions: read back from the schedule.
SHA1_SKELETON_INLINE void ReadWindow(const uint32_t* w, uint32_t (&x)[8]) {
  ScheduleBarrier();
  x[0] = w[8];
  x[1] = w[9];
  x[2] = w[10];
  x[3] = w[11];
  x[4] = w[12];
  x[5] = w[13];
  x[6] = w[14];
  x[7] = w[15];
}

// The round function of the round after this one, computed into f from that
// round's b, c and d, which are this round's a, b and c. This round's a, the
// value computed most recently, comes in as late as possible.
#define SHA1_NEXT_CHOOSE \
  "movl %[b], %[f]\n\t"  \
  "xorl %[c], %[f]\n\t"  \
  "andl %[a], %[f]\n\t"  \
  "xorl %[c], %[f]\n\t"
#define SHA1_NEXT_PARITY \
  "movl %[b], %[f]\n\t"  \
  "xorl %[c], %[f]\n\t"  \
  "xorl %[a], %[f]\n\t"
// The majority is (b AND c) plus (a AND (b XOR c)): the two terms have no
// bit in common. The first goes straight into d, which is the next round's
// e, so no register beyond the working variables is needed; the 32-bit form
// has none to spare.
#define SHA1_NEXT_MAJORITY \
  "movl %[b], %[f]\n\t"    \
  "andl %[c], %[f]\n\t"    \
  "addl %[f], %[d]\n\t"    \
  "movl %[b], %[f]\n\t"    \
  "xorl %[c], %[f]\n\t"    \
  "andl %[a], %[f]\n\t"

// The address registers in their full width, which needs no address-size
// prefix.
#if defined(__x86_64__)
#define SHA1_ADDRESS_WIDTH "q"
#else
#define SHA1_ADDRESS_WIDTH ""
#endif

// Adds the schedule word and the round function value to e: as two
// additions when the word already holds the round constant, otherwise with
// the constant as the immediate of an address computation. The round
// function value, computed later than the word was loaded, comes second.
#define SHA1_ADD_PREADDED  \
  "addl %[word], %[e]\n\t" \
  "addl %[f], %[e]\n\t"
#define SHA1_ADD_WITH_K(constant) \
  "addl %[word], %[e]\n\t"        \
  "leal " #constant "(%" SHA1_ADDRESS_WIDTH "[e], %" SHA1_ADDRESS_WIDTH "[f]), %[e]\n\t"

// Adds ROTL5(a) to e, then turns a into ROTL30(a) in place: 5 + 25.
#define SHA1_ADD_A_AND_ROTATE \
  "roll $5, %[a]\n\t"         \
  "addl %[a], %[e]\n\t"       \
  "rorl $7, %[a]"

// One round that also computes the next round's round function. The textbook
// round copies a to rotate it by 5, because its plain value is still needed
// as the next round's b. Here the next round's round function is computed
// first, from the plain a, so that a can be rotated in place: by 5 for this
// round's sum, then by 25 more to the 30 that it needs from then on.
//
// The roles are the textbook ones, except that on entry b already holds
// ROTL30 of its textbook value (the textbook round would rotate it now) and f
// holds this round's round function value. The new a is left in e; the
// caller rotates the roles. d, the next round's e, only takes the first term
// of a majority.
#define SHA1_ROUND(next, add, ra, rb, rc, rd, re, word_t)      \
  asm(add next SHA1_ADD_A_AND_ROTATE                           \
      : [a] "+r"(ra), [d] "+r"(rd), [e] "+r"(re), [f] "+&r"(f) \
      : [b] "r"(rb), [c] "r"(rc), [word] "m"(word_t))

// Round 79 computes no next round function and leaves a plain: a copy of it
// is rotated instead, in f, which is free once added.
#define SHA1_LAST_ROUND(add, ra, re, word_t) \
  asm(add                                    \
      "movl %[a], %[f]\n\t"                  \
      "roll $5, %[f]\n\t"                    \
      "addl %[f], %[e]"                      \
      : [e] "+r"(re), [f] "+&r"(f)           \
      : [a] "r"(ra), [word] "m"(word_t))

// Five rounds from t bring the roles back to where they started.
#define SHA1_FIVE_ROUNDS(t, add, n0, n1, n2, n3, n4) \
  SHA1_ROUND(n0, add, a, b, c, d, e, w[(t)]);        \
  SHA1_ROUND(n1, add, e, a, b, c, d, w[(t) + 1]);    \
  SHA1_ROUND(n2, add, d, e, a, b, c, w[(t) + 2]);    \
  SHA1_ROUND(n3, add, c, d, e, a, b, w[(t) + 3]);    \
  SHA1_ROUND(n4, add, b, c, d, e, a, w[(t) + 4])

#define SHA1_K0 SHA1_ADD_WITH_K(0x5A827999)
#define SHA1_K1 SHA1_ADD_WITH_K(0x6ED9EBA1)
// 0x8F1BBCDC and 0xCA62C1D6 as the signed 32-bit displacements they are.
#define SHA1_K2 SHA1_ADD_WITH_K(-0x70E44324)
#define SHA1_K3 SHA1_ADD_WITH_K(-0x359D3E2A)
#define SHA1_KW SHA1_ADD_PREADDED
#define SHA1_CH SHA1_NEXT_CHOOSE
#define SHA1_PA SHA1_NEXT_PARITY
#define SHA1_MA SHA1_NEXT_MAJORITY

// Runs the 80 rounds on `hash`, taking schedule word t in round t, and adds
// the result into `hash`. With kPreAdded the schedule words already include
// the round constants; otherwise each round adds its constant as an
// immediate operand.
template <bool kPreAdded>
SHA1_SKELETON_INLINE void CompressRounds(const uint32_t* w, uint32_t* hash) {
  uint32_t a = hash[0];
  uint32_t b = hash[1];
  uint32_t c = hash[2];
  uint32_t d = hash[3];
  uint32_t e = hash[4];
  uint32_t f = d ^ (b & (c ^ d));
  b = RotateLeft(b, 30);

  if constexpr (kPreAdded) {
    SHA1_FIVE_ROUNDS(0, SHA1_KW, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(5, SHA1_KW, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(10, SHA1_KW, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(15, SHA1_KW, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_PA);
    SHA1_FIVE_ROUNDS(20, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(25, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(30, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(35, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_MA);
    SHA1_FIVE_ROUNDS(40, SHA1_KW, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(45, SHA1_KW, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(50, SHA1_KW, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(55, SHA1_KW, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_PA);
    SHA1_FIVE_ROUNDS(60, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(65, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(70, SHA1_KW, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_ROUND(SHA1_PA, SHA1_KW, a, b, c, d, e, w[75]);
    SHA1_ROUND(SHA1_PA, SHA1_KW, e, a, b, c, d, w[76]);
    SHA1_ROUND(SHA1_PA, SHA1_KW, d, e, a, b, c, w[77]);
    SHA1_ROUND(SHA1_PA, SHA1_KW, c, d, e, a, b, w[78]);
    SHA1_LAST_ROUND(SHA1_KW, b, a, w[79]);
  } else {
    SHA1_FIVE_ROUNDS(0, SHA1_K0, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(5, SHA1_K0, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(10, SHA1_K0, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH);
    SHA1_FIVE_ROUNDS(15, SHA1_K0, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_CH, SHA1_PA);
    SHA1_FIVE_ROUNDS(20, SHA1_K1, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(25, SHA1_K1, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(30, SHA1_K1, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(35, SHA1_K1, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_MA);
    SHA1_FIVE_ROUNDS(40, SHA1_K2, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(45, SHA1_K2, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(50, SHA1_K2, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA);
    SHA1_FIVE_ROUNDS(55, SHA1_K2, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_MA, SHA1_PA);
    SHA1_FIVE_ROUNDS(60, SHA1_K3, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(65, SHA1_K3, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_FIVE_ROUNDS(70, SHA1_K3, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA, SHA1_PA);
    SHA1_ROUND(SHA1_PA, SHA1_K3, a, b, c, d, e, w[75]);
    SHA1_ROUND(SHA1_PA, SHA1_K3, e, a, b, c, d, w[76]);
    SHA1_ROUND(SHA1_PA, SHA1_K3, d, e, a, b, c, w[77]);
    SHA1_ROUND(SHA1_PA, SHA1_K3, c, d, e, a, b, w[78]);
    SHA1_LAST_ROUND(SHA1_K3, b, a, w[79]);
  }

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
}

#undef SHA1_K0
#undef SHA1_K1
#undef SHA1_K2
#undef SHA1_K3
#undef SHA1_KW
#undef SHA1_CH
#undef SHA1_PA
#undef SHA1_MA
#undef SHA1_FIVE_ROUNDS
#undef SHA1_LAST_ROUND
#undef SHA1_ROUND
#undef SHA1_ADD_A_AND_ROTATE
#undef SHA1_ADD_WITH_K
#undef SHA1_ADDRESS_WIDTH
#undef SHA1_ADD_PREADDED
#undef SHA1_NEXT_MAJORITY
#undef SHA1_NEXT_PARITY
#undef SHA1_NEXT_CHOOSE
#undef SHA1_EXPAND_GROUP
#undef SHA1_EXPAND_WORD

}  // namespace sha1_skeleton
