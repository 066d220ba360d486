#include "sha1/block_selection.h"

#include <cpuid.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sha1/sha1.h"
#include "sha1/sha1_test_util.h"
#include "sha1/sha1_vector_blocks.h"

namespace {

// A processor that answers CPUID and XGETBV from a script and logs every
// instruction executed.
class ScriptedProcessor : public CpuInstructions {
 public:
  CpuidResult Cpuid(uint32_t leaf, uint32_t subLeaf) override {
    cpuidCalls.push_back({leaf, subLeaf});
    auto found = leaves.find(leaf);
    return found == leaves.end() ? CpuidResult{} : found->second;
  }

  uint64_t Xgetbv(uint32_t index) override {
    xgetbvCalls.push_back(index);
    return xcr0;
  }

  size_t CallsOfLeaf(uint32_t leaf) const {
    size_t count = 0;
    for (const auto& call : cpuidCalls) count += call.first == leaf;
    return count;
  }

  std::map<uint32_t, CpuidResult> leaves;
  uint64_t xcr0 = 0;
  std::vector<std::pair<uint32_t, uint32_t>> cpuidCalls;
  std::vector<uint32_t> xgetbvCalls;
};

constexpr uint32_t Bit(int n) {
  return uint32_t{1} << n;
}

constexpr uint32_t kOsxsave = bit_OSXSAVE;  // leaf 1, ECX
constexpr uint64_t kXcr0SseAvx = 0x7;       // x87, SSE and AVX state

// Every test starts as a fresh process would: both words zero, and CPUID and
// XGETBV answered by the scripted processor. The real words and route come
// back afterwards.
class CpuFeaturesTest : public testing::Test {
 protected:
  void SetUp() override {
    savedFlags = CpuFeatureFlags;
    savedUsable = UsableCpuFeatureFlags;
    CpuFeatureFlags = 0;
    UsableCpuFeatureFlags = 0;
    savedInstructions = SetCpuInstructions(&processor);
  }

  void TearDown() override {
    SetCpuInstructions(savedInstructions);
    CpuFeatureFlags = savedFlags;
    UsableCpuFeatureFlags = savedUsable;
  }

  // A processor with the four deciding features as given, AVX register state
  // saved by the operating system.
  void Script(bool sse2, bool ssse3, bool avx, bool avx2) {
    processor.leaves[1].edx = sse2 ? bit_SSE2 : 0;
    processor.leaves[1].ecx = kOsxsave | (ssse3 ? bit_SSSE3 | bit_SSE3 : 0) | (avx ? bit_AVX : 0);
    processor.leaves[7].ebx = avx2 ? bit_AVX2 : 0;
    processor.xcr0 = kXcr0SseAvx;
  }

  ScriptedProcessor processor;
  uint32_t savedFlags = 0;
  uint32_t savedUsable = 0;
  CpuInstructions* savedInstructions = nullptr;
};

// The register bits as the compiler's own <cpuid.h> names them, an
// independent record of where each feature is reported.
struct TableRow {
  uint32_t leaf;
  char reg;  // 'b', 'c' or 'd'
  uint32_t registerBit;
  uint32_t flag;
};

const TableRow kTable[] = {
    {1, 'd', bit_MMX, kCpuMmx},
    {1, 'd', bit_SSE, kCpuSse},
    {1, 'd', bit_SSE2, kCpuSse2},
    {1, 'c', bit_SSE3, kCpuSse3},
    {1, 'c', bit_SSSE3, kCpuSsse3},
    {1, 'c', bit_SSE4_1, kCpuSse41},
    {1, 'c', bit_SSE4_2, kCpuSse42},
    {1, 'c', bit_AVX, kCpuAvx},
    {7, 'b', bit_AVX2, kCpuAvx2},
    {1, 'c', bit_FMA, kCpuFma},
    {1, 'c', bit_AES, kCpuAes},
    {0x80000001, 'd', bit_MMXEXT, kCpuMmxExt},
    {0x80000001, 'd', bit_3DNOW, kCpu3dNow},
    {0x80000001, 'd', bit_3DNOWP, kCpu3dNowExt},
    {0x80000001, 'c', bit_SSE4a, kCpuSse4a},
    {0x80000001, 'c', bit_XOP, kCpuXop},
    {0x80000001, 'c', bit_FMA4, kCpuFma4},
};

constexpr uint32_t kAllTableFlags = 0x3F07FF;

void SetRegister(CpuidResult& result, char reg, uint32_t value) {
  if (reg == 'b')
    result.ebx |= value;
  else if (reg == 'c')
    result.ecx |= value;
  else
    result.edx |= value;
}

TEST_F(CpuFeaturesTest, EachTableBitOnItsOwn) {
  for (const TableRow& row : kTable) {
    SCOPED_TRACE(row.flag);
    processor.leaves.clear();
    processor.leaves[0x80000000].eax = 0x80000008;
    SetRegister(processor.leaves[row.leaf], row.reg, row.registerBit);
    CpuFeatureFlags = 0;
    EXPECT_EQ(row.flag, DetectCpuFeatures());
    EXPECT_EQ(row.flag, CpuFeatureFlags);
  }
}

TEST_F(CpuFeaturesTest, TableBitsTogetherAndNothingElse) {
  for (uint32_t leaf : {1u, 7u, 0x80000001u}) processor.leaves[leaf] = {~0u, ~0u, ~0u, ~0u};
  processor.leaves[0x80000000].eax = 0x80000001;
  EXPECT_EQ(kAllTableFlags, DetectCpuFeatures());
}

TEST_F(CpuFeaturesTest, EveryQueryUsesSubLeafZeroAndLeafZeroIsNeverAsked) {
  Script(true, true, true, true);
  processor.leaves[0x80000000].eax = 0x80000001;
  SelectSha1BlockFunction();
  ASSERT_FALSE(processor.cpuidCalls.empty());
  for (const auto& [leaf, subLeaf] : processor.cpuidCalls) {
    EXPECT_EQ(0u, subLeaf) << "leaf " << leaf;
    EXPECT_NE(0u, leaf);
  }
  EXPECT_EQ(1u, processor.CallsOfLeaf(7));
}

TEST_F(CpuFeaturesTest, DetectionRunsOnceAndExecutesTheDocumentedInstructions) {
  Script(true, true, true, true);
  processor.leaves[0x80000000].eax = 0x80000008;
  SelectSha1BlockFunction();
  EXPECT_EQ(2u, processor.CallsOfLeaf(1));
  EXPECT_EQ(1u, processor.CallsOfLeaf(7));
  EXPECT_EQ(1u, processor.CallsOfLeaf(0x80000000));
  EXPECT_EQ(1u, processor.CallsOfLeaf(0x80000001));
  EXPECT_EQ(5u, processor.cpuidCalls.size());
  EXPECT_EQ(std::vector<uint32_t>{0}, processor.xgetbvCalls);

  uint32_t detected = CpuFeatureFlags;
  EXPECT_EQ(detected, DetectCpuFeatures());
  SelectSha1BlockFunction();
  EXPECT_EQ(5u, processor.cpuidCalls.size());
  EXPECT_EQ(1u, processor.xgetbvCalls.size());
}

TEST_F(CpuFeaturesTest, ExtendedLeafBelow0x80000001IsNotAsked) {
  for (uint32_t highest : {0x80000000u, 0x7FFFFFFFu, 0u}) {
    SCOPED_TRACE(highest);
    processor.cpuidCalls.clear();
    CpuFeatureFlags = 0;
    processor.leaves[1].edx = Bit(26);
    processor.leaves[0x80000000].eax = highest;
    // Would set every extended bit if it were asked.
    processor.leaves[0x80000001] = {~0u, ~0u, ~0u, ~0u};
    EXPECT_EQ(kCpuSse2, DetectCpuFeatures());
    EXPECT_EQ(0u, processor.CallsOfLeaf(0x80000001));
  }
}

TEST_F(CpuFeaturesTest, ExtendedLeafIsAskedFrom0x80000001) {
  processor.leaves[0x80000000].eax = 0x80000001;
  processor.leaves[0x80000001].ecx = Bit(6);
  EXPECT_EQ(kCpuSse4a, DetectCpuFeatures());
  EXPECT_EQ(1u, processor.CallsOfLeaf(0x80000001));
}

// Every combination of the four deciding bits, against the cascade's table.
TEST_F(CpuFeaturesTest, CascadeTable) {
  for (int bits = 0; bits < 16; ++bits) {
    bool sse2 = bits & 1;
    bool ssse3 = bits & 2;
    bool avx = bits & 4;
    bool avx2 = bits & 8;
    Sha1BlockFunction expected = Sha1BlockX86;
    if (sse2 && !ssse3)
      expected = Sha1BlockSse2;
    else if (sse2 && ssse3 && !avx)
      expected = Sha1BlockSsse3;
    else if (sse2 && ssse3 && avx && !avx2)
      expected = Sha1BlockAvx;
    else if (sse2 && ssse3 && avx && avx2)
      expected = Sha1BlockAvx2;

    processor.leaves.clear();
    Script(sse2, ssse3, avx, avx2);
    CpuFeatureFlags = 0;
    UsableCpuFeatureFlags = 0;
    EXPECT_EQ(expected, SelectSha1BlockFunction())
        << "SSE2 " << sse2 << " SSSE3 " << ssse3 << " AVX " << avx << " AVX2 " << avx2;
  }
}

TEST_F(CpuFeaturesTest, InitStoresWhatTheCascadeReturns) {
  struct Case {
    bool sse2, ssse3, avx, avx2;
    Sha1BlockFunction expected;
  };
  const Case cases[] = {
      {false, true, true, true, Sha1BlockX86},   {true, false, true, true, Sha1BlockSse2},
      {true, true, false, true, Sha1BlockSsse3}, {true, true, true, false, Sha1BlockAvx},
      {true, true, true, true, Sha1BlockAvx2},
  };
  for (const Case& c : cases) {
    processor.leaves.clear();
    Script(c.sse2, c.ssse3, c.avx, c.avx2);
    CpuFeatureFlags = 0;
    UsableCpuFeatureFlags = 0;
    Sha1Hasher hasher = {};
    hasher.Init();
    EXPECT_EQ(c.expected, hasher.blockFunction);
  }
}

TEST_F(CpuFeaturesTest, NoOsxsaveMeansNoAvxAndNoXgetbv) {
  Script(true, true, true, true);
  processor.leaves[1].ecx &= ~kOsxsave;
  EXPECT_EQ(Sha1BlockSsse3, SelectSha1BlockFunction());
  EXPECT_TRUE(processor.xgetbvCalls.empty());
  EXPECT_EQ(kCpuAvx | kCpuAvx2, CpuFeatureFlags & (kCpuAvx | kCpuAvx2));
  EXPECT_EQ(0u, UsableCpuFeatureFlags & (kCpuAvx | kCpuAvx2));
  EXPECT_EQ(CpuFeatureFlags & ~(kCpuAvx | kCpuAvx2), UsableCpuFeatureFlags);
}

TEST_F(CpuFeaturesTest, Xcr0WithoutAvxStateMeansNoAvx) {
  Script(true, true, true, true);
  processor.xcr0 = 0x3;  // x87 and SSE state only
  EXPECT_EQ(Sha1BlockSsse3, SelectSha1BlockFunction());
  EXPECT_EQ(std::vector<uint32_t>{0}, processor.xgetbvCalls);
  EXPECT_EQ(kCpuAvx | kCpuAvx2, CpuFeatureFlags & (kCpuAvx | kCpuAvx2));
  EXPECT_EQ(0u, UsableCpuFeatureFlags & (kCpuAvx | kCpuAvx2));
}

TEST_F(CpuFeaturesTest, Xcr0WithoutSseStateMeansNoAvx) {
  Script(true, true, true, true);
  processor.xcr0 = 0x5;  // x87 and AVX state, no SSE state
  EXPECT_EQ(Sha1BlockSsse3, SelectSha1BlockFunction());
  EXPECT_EQ(0u, UsableCpuFeatureFlags & (kCpuAvx | kCpuAvx2));
}

TEST_F(CpuFeaturesTest, Avx2WithoutAvxGetsSsse3) {
  Script(true, true, false, true);
  EXPECT_EQ(Sha1BlockSsse3, SelectSha1BlockFunction());
  EXPECT_EQ(kCpuAvx2, UsableCpuFeatureFlags & kCpuAvx2);
}

TEST_F(CpuFeaturesTest, NoSse2GetsTheReferenceWhateverElseIsThere) {
  Script(false, true, true, true);
  processor.leaves[1].edx |= Bit(23) | Bit(25);
  EXPECT_EQ(Sha1BlockX86, SelectSha1BlockFunction());
  EXPECT_EQ(0u, UsableCpuFeatureFlags & kCpuSse2);
}

TEST_F(CpuFeaturesTest, Sse2WithoutSsse3GetsSse2EvenWithUsableAvx2) {
  Script(true, false, true, true);
  EXPECT_EQ(Sha1BlockSse2, SelectSha1BlockFunction());
  EXPECT_EQ(kCpuAvx | kCpuAvx2, UsableCpuFeatureFlags & (kCpuAvx | kCpuAvx2));
}

TEST_F(CpuFeaturesTest, LaterInitsExecuteNoCpuidOrXgetbv) {
  Script(true, true, true, true);
  Sha1Hasher first = {};
  first.Init();
  size_t cpuid = processor.cpuidCalls.size();
  size_t xgetbv = processor.xgetbvCalls.size();
  EXPECT_GT(cpuid, 0u);

  // A different script now would show up if anything were executed again.
  processor.leaves.clear();
  Sha1Hasher second = {};
  second.Init();
  Sha1Hasher third = {};
  third.Init();
  EXPECT_EQ(cpuid, processor.cpuidCalls.size());
  EXPECT_EQ(xgetbv, processor.xgetbvCalls.size());
  EXPECT_EQ(Sha1BlockAvx2, first.blockFunction);
  EXPECT_EQ(first.blockFunction, second.blockFunction);
  EXPECT_EQ(first.blockFunction, third.blockFunction);
}

TEST_F(CpuFeaturesTest, ProcessorReportingNothingIsAskedAgainEachTime) {
  processor.leaves[0x80000000].eax = 0x80000001;
  for (size_t init = 1; init <= 3; ++init) {
    Sha1Hasher hasher = {};
    hasher.Init();
    EXPECT_EQ(Sha1BlockX86, hasher.blockFunction);
    EXPECT_EQ(0u, CpuFeatureFlags);
    EXPECT_EQ(0u, UsableCpuFeatureFlags);
    EXPECT_EQ(2u * init, processor.CallsOfLeaf(1)) << "init " << init;
    EXPECT_EQ(init, processor.CallsOfLeaf(7));
    // No OSXSAVE, so never an XGETBV.
    EXPECT_TRUE(processor.xgetbvCalls.empty());
  }
}

// The real processor, through the real route: every x86-64 processor has
// SSE2, so detection must find it and selection must pick a vector variant
// that this machine can run.
TEST(CpuFeaturesRealProcessorTest, FindsSse2AndPicksARunnableVariant) {
  EXPECT_EQ(ProcessorCpuInstructions(), SetCpuInstructions(ProcessorCpuInstructions()));
  EXPECT_NE(0u, DetectCpuFeatures() & kCpuSse2);
  Sha1BlockFunction chosen = SelectSha1BlockFunction();
  EXPECT_NE(Sha1BlockX86, chosen);
  bool found = false;
  for (const Sha1BlockVariant& variant : kSha1BlockVariants) {
    if (variant.function == chosen) {
      found = true;
      EXPECT_TRUE(MachineRuns(variant)) << variant.name;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex(chosen, std::string("abc")));
}

}  // namespace
