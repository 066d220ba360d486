// Processor features: DetectCpuFeatures reads the processor's
// identification once per process into CpuFeatureFlags. The word is zero
// until computed; a word that comes out zero is computed again on next use.
#pragma once

#include <cstdint>

// Bits of CpuFeatureFlags and UsableCpuFeatureFlags. No other bit is set.
constexpr uint32_t kCpuMmx = 0x1;           // CPUID 1, EDX bit 23
constexpr uint32_t kCpuSse = 0x2;           // CPUID 1, EDX bit 25
constexpr uint32_t kCpuSse2 = 0x4;          // CPUID 1, EDX bit 26
constexpr uint32_t kCpuSse3 = 0x8;          // CPUID 1, ECX bit 0
constexpr uint32_t kCpuSsse3 = 0x10;        // CPUID 1, ECX bit 9
constexpr uint32_t kCpuSse41 = 0x20;        // CPUID 1, ECX bit 19
constexpr uint32_t kCpuSse42 = 0x40;        // CPUID 1, ECX bit 20
constexpr uint32_t kCpuAvx = 0x80;          // CPUID 1, ECX bit 28
constexpr uint32_t kCpuAvx2 = 0x100;        // CPUID 7.0, EBX bit 5
constexpr uint32_t kCpuFma = 0x200;         // CPUID 1, ECX bit 12
constexpr uint32_t kCpuAes = 0x400;         // CPUID 1, ECX bit 25
constexpr uint32_t kCpuMmxExt = 0x10000;    // CPUID 0x80000001, EDX bit 22
constexpr uint32_t kCpu3dNow = 0x20000;     // CPUID 0x80000001, EDX bit 31
constexpr uint32_t kCpu3dNowExt = 0x40000;  // CPUID 0x80000001, EDX bit 30
constexpr uint32_t kCpuSse4a = 0x80000;     // CPUID 0x80000001, ECX bit 6
constexpr uint32_t kCpuXop = 0x100000;      // CPUID 0x80000001, ECX bit 11
constexpr uint32_t kCpuFma4 = 0x200000;     // CPUID 0x80000001, ECX bit 16

// What the processor reports, whatever the operating system allows. Zero
// until DetectCpuFeatures has found at least one feature; never changed after.
extern uint32_t CpuFeatureFlags;
// Returns CpuFeatureFlags, detecting it first while it is zero: CPUID leaf 1,
// leaf 7 sub-leaf 0 (without asking leaf 0 whether it exists), and leaf
// 0x80000001 only when leaf 0x80000000 reports it.
uint32_t DetectCpuFeatures();

// The four registers one CPUID returns.
struct CpuidResult {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};

// The two identification instructions that detection and selection execute.
// The program always runs on the processor's own; tests substitute a scripted
// processor so that every path can be taken on any machine.
class CpuInstructions {
 public:
  // CPUID with EAX = leaf and ECX = subLeaf.
  virtual CpuidResult Cpuid(uint32_t leaf, uint32_t subLeaf) = 0;
  // XGETBV of extended control register `index`. Callers must have seen
  // OSXSAVE set.
  virtual uint64_t Xgetbv(uint32_t index) = 0;

 protected:
  ~CpuInstructions() = default;
};

// The processor's own instructions.
CpuInstructions* ProcessorCpuInstructions();

// The instructions detection and selection execute now: the processor's own
// unless a test routed them elsewhere.
CpuInstructions& ActiveCpuInstructions();

// Routes every later CPUID and XGETBV of detection and selection (block_selection.h) through
// `instructions` and returns the previous route. Nothing in the program calls
// it; it is the tests' way in. The cached words are not touched.
CpuInstructions* SetCpuInstructions(CpuInstructions* instructions);
