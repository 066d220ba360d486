// The block function a hasher uses on this machine: SelectSha1BlockFunction
// derives, once per process, the processor features the operating system
// lets the program use (UsableCpuFeatureFlags) and maps them to the fastest
// row of the block-function table (block_functions.h) they allow.
#pragma once

#include <cstdint>

#include "sha1/cpu_features.h"
#include "sha1/sha1.h"

// CpuFeatureFlags without AVX and AVX2 when the operating system does not
// save the AVX register state. Zero until SelectSha1BlockFunction has derived
// a non-zero word; never changed after.
extern uint32_t UsableCpuFeatureFlags;

// Returns the block function for a new hasher, deriving UsableCpuFeatureFlags
// first while it is zero (one more CPUID leaf 1 for OSXSAVE, then XGETBV only
// when OSXSAVE is set). The cascade: Sha1BlockX86; Sha1BlockSse2 with SSE2;
// then Sha1BlockSsse3 with SSSE3 too; then with AVX too Sha1BlockAvx2 when
// AVX2 is set, else Sha1BlockAvx. Once the word is known, a call executes no
// CPUID or XGETBV.
Sha1BlockFunction SelectSha1BlockFunction();
