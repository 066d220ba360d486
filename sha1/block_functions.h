// The five block functions in one table: the name each goes by in tests and
// benchmarks, and the processor features the selection requires before it
// hands a hasher that function. Rows run from the least to the most capable;
// every row requires all that the row before it does.
#pragma once

#include <cstdint>

#include "sha1/cpu_features.h"
#include "sha1/sha1.h"
#include "sha1/sha1_vector_blocks.h"

struct Sha1BlockVariant {
  const char* name;
  Sha1BlockFunction function;
  // Bits of UsableCpuFeatureFlags that must all be set. SSSE3 stands for SSE3
  // as well, whose LDDQU the SSSE3 and AVX variants also use: every processor
  // with SSSE3 has SSE3.
  uint32_t requiredFeatures;
};

inline constexpr Sha1BlockVariant kSha1BlockVariants[] = {
    {"Sha1BlockX86", Sha1BlockX86, 0},
    {"Sha1BlockSse2", Sha1BlockSse2, kCpuSse2},
    {"Sha1BlockSsse3", Sha1BlockSsse3, kCpuSse2 | kCpuSsse3},
    {"Sha1BlockAvx", Sha1BlockAvx, kCpuSse2 | kCpuSsse3 | kCpuAvx},
    {"Sha1BlockAvx2", Sha1BlockAvx2, kCpuSse2 | kCpuSsse3 | kCpuAvx | kCpuAvx2},
};

// Whether `usable` (a word like UsableCpuFeatureFlags) allows `variant`.
constexpr bool Allows(uint32_t usable, const Sha1BlockVariant& variant) {
  return (usable & variant.requiredFeatures) == variant.requiredFeatures;
}
