#include "sha1/block_selection.h"

#include "sha1/block_functions.h"

uint32_t UsableCpuFeatureFlags = 0;

namespace {

constexpr int kOsxsaveBit = 27;           // CPUID 1, ECX
constexpr uint64_t kXcr0SseAndAvx = 0x6;  // XCR0 bits 1 and 2

}  // namespace

Sha1BlockFunction SelectSha1BlockFunction() {
  if (UsableCpuFeatureFlags == 0) {
    uint32_t usable = DetectCpuFeatures();
    // A processor may have AVX while the operating system does not save the
    // upper register halves on a task switch; then AVX code must not run.
    CpuidResult leaf1 = ActiveCpuInstructions().Cpuid(1, 0);
    if (((leaf1.ecx >> kOsxsaveBit) & 1) == 0) {
      usable &= ~(kCpuAvx | kCpuAvx2);
    } else if ((ActiveCpuInstructions().Xgetbv(0) & kXcr0SseAndAvx) != kXcr0SseAndAvx) {
      usable &= ~(kCpuAvx | kCpuAvx2);
    }
    UsableCpuFeatureFlags = usable;
  }

  // The most capable variant the usable features allow; the table's rows
  // require ever more, so this is the cascade SSE2, SSSE3, AVX, AVX2.
  Sha1BlockFunction chosen = Sha1BlockX86;
  for (const Sha1BlockVariant& variant : kSha1BlockVariants) {
    if (Allows(UsableCpuFeatureFlags, variant)) chosen = variant.function;
  }
  return chosen;
}
