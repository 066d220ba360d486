// Functions that each break one rule of check_block_instructions.py, so that
// the tests can show the check rejecting them. They are only disassembled,
// never linked into a program or called. The 32-bit build has its own forms
// of those that name registers.

extern "C" {

void FixtureAvxWith256BitAdd() {
  asm volatile("vzeroupper\n\tvpaddd %ymm1, %ymm2, %ymm0");
}

void FixtureAvxWithoutVzeroupper() {
  asm volatile("vpaddd %xmm1, %xmm2, %xmm0");
}

void FixtureAvx2WithRorx() {
  asm volatile("vzeroupper\n\trorx $2, %eax, %ecx\n\tvzeroupper");
}

void FixtureAvx2WithAvx512() {
  asm volatile("vzeroupper\n\tvpaddd %zmm1, %zmm2, %zmm0\n\tvzeroupper");
}

void FixtureAvx2WithoutFinalVzeroupper() {
  asm volatile("vzeroupper\n\tvpaddd %ymm1, %ymm2, %ymm0");
}

void FixtureSsse3WithShaRounds() {
  asm volatile("sha1rnds4 $0, %xmm1, %xmm0");
}

void FixtureSse2WithShuffle() {
  asm volatile("pshufb %xmm1, %xmm0");
}

void FixtureX86WithVectorXor() {
  asm volatile("pxor %xmm1, %xmm0");
}

void FixtureX86WithAndn() {
  asm volatile("andn %eax, %ecx, %edx");
}

void FixtureAvxWithBranch() {
  asm volatile("vzeroupper\n1:\n\tadd $1, %eax\n\tjne 1b");
}

#if defined(__x86_64__)
void FixtureX86With64BitAdd() {
  asm volatile("add %rax, %rcx");
}

void FixtureSse2WithCall() {
  asm volatile("call *%rax");
}

void FixtureX86WithStackSpill() {
  asm volatile("mov %eax, -4(%rsp)");
}
#else
void FixtureSse2WithCall() {
  asm volatile("call *%eax");
}

void FixtureX86WithStackSpill() {
  asm volatile("mov %eax, -4(%esp)");
}

// The argument may be loaded from the stack, but nothing may be stored there.
void FixtureX86WithArgumentStore() {
  asm volatile("mov %eax, 4(%esp)");
}
#endif

}  // extern "C"
