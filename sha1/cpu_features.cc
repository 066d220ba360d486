#include "sha1/cpu_features.h"

#include <cpuid.h>

#include <cstddef>

uint32_t CpuFeatureFlags = 0;

namespace {

class Processor final : public CpuInstructions {
 public:
  CpuidResult Cpuid(uint32_t leaf, uint32_t subLeaf) override {
    CpuidResult result;
    __cpuid_count(leaf, subLeaf, result.eax, result.ebx, result.ecx, result.edx);
    return result;
  }

  uint64_t Xgetbv(uint32_t index) override {
    // Spelled as an instruction rather than the intrinsic, which would need
    // the XSAVE instruction set enabled for this whole file.
    uint32_t low;
    uint32_t high;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
    return (static_cast<uint64_t>(high) << 32) | low;
  }
};

Processor processor;
CpuInstructions* instructions = &processor;

// One row of the feature table: `flag` is set when register bit `bit` is.
struct FeatureBit {
  int bit;
  uint32_t flag;
};

constexpr FeatureBit kLeaf1Edx[] = {{23, kCpuMmx}, {25, kCpuSse}, {26, kCpuSse2}};
constexpr FeatureBit kLeaf1Ecx[] = {{0, kCpuSse3}, {9, kCpuSsse3}, {19, kCpuSse41}, {20, kCpuSse42},
                                    {28, kCpuAvx}, {12, kCpuFma},  {25, kCpuAes}};
constexpr FeatureBit kLeaf7Ebx[] = {{5, kCpuAvx2}};
constexpr FeatureBit kExtendedEdx[] = {{22, kCpuMmxExt}, {31, kCpu3dNow}, {30, kCpu3dNowExt}};
constexpr FeatureBit kExtendedEcx[] = {{6, kCpuSse4a}, {11, kCpuXop}, {16, kCpuFma4}};

template <size_t kCount>
uint32_t Flags(uint32_t reg, const FeatureBit (&table)[kCount]) {
  uint32_t flags = 0;
  for (const FeatureBit& row : table) {
    if ((reg >> row.bit) & 1) flags |= row.flag;
  }
  return flags;
}

}  // namespace

CpuInstructions* ProcessorCpuInstructions() {
  return &processor;
}

CpuInstructions& ActiveCpuInstructions() {
  return *instructions;
}

CpuInstructions* SetCpuInstructions(CpuInstructions* replacement) {
  CpuInstructions* previous = instructions;
  instructions = replacement;
  return previous;
}

uint32_t DetectCpuFeatures() {
  if (CpuFeatureFlags != 0) return CpuFeatureFlags;

  CpuidResult leaf1 = instructions->Cpuid(1, 0);
  uint32_t flags = Flags(leaf1.edx, kLeaf1Edx) | Flags(leaf1.ecx, kLeaf1Ecx);

  // Leaf 7 is asked without checking leaf 0's highest leaf; the AVX2 bit it
  // may then yield is only read when AVX is present and usable.
  CpuidResult leaf7 = instructions->Cpuid(7, 0);
  flags |= Flags(leaf7.ebx, kLeaf7Ebx);

  CpuidResult extendedRange = instructions->Cpuid(0x80000000, 0);
  if (extendedRange.eax >= 0x80000001) {
    CpuidResult extended = instructions->Cpuid(0x80000001, 0);
    flags |= Flags(extended.edx, kExtendedEdx) | Flags(extended.ecx, kExtendedEcx);
  }

  CpuFeatureFlags = flags;
  return flags;
}
