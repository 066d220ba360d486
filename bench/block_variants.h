// The five block functions the benchmarks measure, with the processor
// features each needs before it may run.
#pragma once

#include <cstdint>

#include "sha1/cpu_features.h"
#include "sha1/sha1.h"
#include "sha1/sha1_vector_blocks.h"

struct BlockVariant {
  const char* name;
  Sha1BlockFunction function;
  uint32_t requiredFeatures;
};

inline constexpr BlockVariant kBlockVariants[] = {
    {"Sha1BlockX86", Sha1BlockX86, 0},
    {"Sha1BlockSse2", Sha1BlockSse2, kCpuSse2},
    {"Sha1BlockSsse3", Sha1BlockSsse3, kCpuSse2 | kCpuSse3 | kCpuSsse3},
    {"Sha1BlockAvx", Sha1BlockAvx, kCpuSse2 | kCpuSse3 | kCpuSsse3 | kCpuAvx},
    {"Sha1BlockAvx2", Sha1BlockAvx2, kCpuSse2 | kCpuSse3 | kCpuSsse3 | kCpuAvx | kCpuAvx2},
};
