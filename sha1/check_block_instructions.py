#!/usr/bin/env python3
"""Checks the machine code of the SHA-1 block functions.

Disassembles each block function of a linked binary or object file with
objdump and fails when one of them

  * uses an instruction outside its variant's allowed set: 32-bit
    general-purpose integer instructions for all five, plus the few vector
    instructions that its own steps need (nothing for the reference; no
    BMI1/BMI2, no SHA extensions, no AVX-512 anywhere);
  * works on a 64-bit general-purpose register where the block's arithmetic
    is 32 bits wide;
  * branches, calls or loops (the functions are one straight run of code);
  * touches the stack other than by saving and restoring registers (and, in
    a 32-bit build, loading its argument, which that convention passes on
    the stack);
  * places VZEROUPPER wrongly (first in Sha1BlockAvx and Sha1BlockAvx2, and
    again last before returning in Sha1BlockAvx2).

It also checks that the constant block CONST_SH is in a read-only section of
its own with that name, on a 32-byte boundary, holding exactly the four round
constant rows and the byte-swap mask.

Exit status: 0 when everything holds, 1 when something does not, 2 when the
binary cannot be read as expected (a missing symbol counts as failure, 1).
"""

import argparse
import re
import struct
import subprocess
import sys

# Variant name -> (function name, mangled symbol).
VARIANTS = {
    "x86": ("Sha1BlockX86", "_Z12Sha1BlockX86P9Sha1State"),
    "sse2": ("Sha1BlockSse2", "_Z13Sha1BlockSse2P9Sha1State"),
    "ssse3": ("Sha1BlockSsse3", "_Z14Sha1BlockSsse3P9Sha1State"),
    "avx": ("Sha1BlockAvx", "_Z12Sha1BlockAvxP9Sha1State"),
    "avx2": ("Sha1BlockAvx2", "_Z13Sha1BlockAvx2P9Sha1State"),
}

# Integer instructions every variant may use. Arithmetic and logic must work
# on 32-bit registers; moves and address arithmetic may be 64 bits wide
# because pointers are.
INTEGER_32 = {"add", "sub", "xor", "and", "or", "not", "rol", "ror", "bswap"}
INTEGER_ANY_WIDTH = {"mov", "lea", "push", "pop", "ret", "endbr64"}

# Vector instructions each variant may add, with the widest register it may
# name.
VECTOR = {
    "x86": (set(), None),
    "sse2": ({"movdqa", "paddd"}, "xmm"),
    "ssse3": ({"lddqu", "pshufb", "movdqa", "paddd"}, "xmm"),
    "avx": ({"vzeroupper", "vlddqu", "vpshufb", "vmovdqa", "vpaddd"}, "xmm"),
    "avx2": ({"vzeroupper", "vlddqu", "vpshufb", "vmovdqa", "vpaddd",
              "vinserti128"}, "ymm"),
}

# Named only to make the failure message say which rule an instruction breaks;
# none of them is in any allowed set anyway.
BMI = {"andn", "bextr", "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep",
       "pext", "rorx", "sarx", "shlx", "shrx", "tzcnt", "lzcnt"}
SHA_EXTENSIONS = {"sha1rnds4", "sha1nexte", "sha1msg1", "sha1msg2",
                  "sha256rnds2", "sha256msg1", "sha256msg2"}

PREFIXES = {"cs", "ds", "es", "ss", "fs", "gs", "data16", "addr32", "rex",
            "rex.w", "rex.r", "rex.b", "rex.x", "notrack", "bnd", "lock"}
PADDING = {"nop", "nopw", "nopl", "int3", "xchg"}

# In a 32-bit build: a load of the argument from above the return address.
ARGUMENT_LOAD = re.compile(r"^0x[0-9a-f]+\(%esp\),%e(?:[a-d]x|[sd]i|bp)$")
REG64 = re.compile(r"%r(?:[a-d]x|[sd]i|[sb]p|[89]|1[0-5])\b")
VECTOR_REG = re.compile(r"%([xyz])mm(\d+)")
MASK_REG = re.compile(r"%k[0-7]\b")

CONST_SH_SIZE = 160
# The assembler reserves the section's name, so the object has another.
CONST_SH_SYMBOL = "sha1_CONST_SH"


def run(objdump, *args):
    result = subprocess.run([objdump, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        raise SystemExit(2)
    return result.stdout


def is_32_bit(objdump, binary):
    """Whether `binary` is 32-bit x86 code (i386 PE/COFF or ELF)."""
    text = run(objdump, "-f", binary)
    return re.search(r"file format (?:pe|pei|elf32)-i386", text) is not None


def assembler_name(symbol, bits32):
    """The name the object file gives `symbol`: 32-bit Windows objects put an
    underscore before every C and C++ name."""
    return "_" + symbol if bits32 else symbol


def disassemble(objdump, binary, symbol):
    """Returns [(mnemonic, operands)] of `symbol`, or None if it is absent."""
    text = run(objdump, "-d", "--no-show-raw-insn", "--disassemble=" + symbol,
               binary)
    instructions = []
    found = False
    for line in text.splitlines():
        label = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if label:
            # Without symbol sizes (PE/COFF) objdump runs on into the
            # functions that follow; the next label ends this one.
            if found:
                break
            found = label.group(1) == symbol
            continue
        match = re.match(r"^\s+[0-9a-f]+:\t(.*)$", line)
        if not found or not match:
            continue
        fields = match.group(1).split(None, 1)
        while fields and fields[0] in PREFIXES and len(fields) > 1:
            fields = fields[1].split(None, 1)
        if not fields or fields[0] == "(bad)":
            instructions.append(("(bad)", ""))
            continue
        mnemonic = fields[0]
        operands = fields[1].split("#")[0].strip() if len(fields) > 1 else ""
        instructions.append((mnemonic, operands))
    return instructions if found else None


def strip_padding(instructions):
    """Drops the alignment padding that follows the final RET."""
    last_ret = max((i for i, (m, _) in enumerate(instructions)
                    if m.startswith("ret")), default=None)
    if last_ret is None:
        return instructions
    tail = instructions[last_ret + 1:]
    if all(m in PADDING for m, _ in tail):
        return instructions[:last_ret + 1]
    return instructions


def check_function(label, variant, instructions, bits32=False):
    """Returns the list of rule violations of one function."""
    name = VARIANTS[variant][0]
    allowed_vector, widest = VECTOR[variant]
    problems = []

    def fail(rule, mnemonic, operands):
        problems.append(f"{label}: {rule} {name}: {mnemonic} {operands}".rstrip())

    for mnemonic, operands in instructions:
        base = mnemonic[:-1] if mnemonic in ("retq", "pushq", "popq") else mnemonic
        if base.startswith("j") or base.startswith("call") or \
                base.startswith("loop") or base in ("jmp", "syscall", "int"):
            fail("branch or call in", mnemonic, operands)
            continue
        if bits32 and base == "mov" and ARGUMENT_LOAD.match(operands):
            continue
        if "%rsp" in operands or "%esp" in operands:
            fail("stack use in", mnemonic, operands)
            continue
        vector_regs = VECTOR_REG.findall(operands)
        if MASK_REG.search(operands) or "{" in operands or any(
                kind == "z" or int(number) > 15 for kind, number in vector_regs):
            fail("AVX-512 register, not allowed in", mnemonic, operands)
            continue
        if base in BMI:
            fail("BMI instruction, not allowed in", mnemonic, operands)
            continue
        if base in SHA_EXTENSIONS:
            fail("SHA extension instruction, not allowed in", mnemonic, operands)
            continue
        if base in allowed_vector:
            too_wide = widest == "xmm" and any(kind == "y" for kind, _ in vector_regs)
            if too_wide:
                fail("256-bit operation, not allowed in", mnemonic, operands)
            continue
        if vector_regs:
            fail("vector instruction not allowed in", mnemonic, operands)
            continue
        if base in INTEGER_32:
            # Address registers inside a memory operand are 64 bits wide by
            # nature; only the data operands count.
            data_operands = re.sub(r"\([^)]*\)", "", operands)
            if REG64.search(data_operands):
                fail("64-bit arithmetic, not allowed in", mnemonic, operands)
            continue
        if base in INTEGER_ANY_WIDTH:
            continue
        fail("instruction not allowed in", mnemonic, operands)

    mnemonics = [m for m, _ in instructions]
    returns = [i for i, m in enumerate(mnemonics) if m.startswith("ret")]
    if len(returns) != 1 or returns[0] != len(mnemonics) - 1:
        problems.append(f"{label}: {name} must end in its one RET")
    if variant in ("avx", "avx2"):
        first_vector = next((i for i, (m, o) in enumerate(instructions)
                             if VECTOR_REG.search(o) or m == "vzeroupper"), None)
        if first_vector is None or mnemonics[first_vector] != "vzeroupper":
            problems.append(f"{label}: {name} must start its vector code with VZEROUPPER")
    if variant == "avx2":
        last_vector = max((i for i, (m, o) in enumerate(instructions)
                           if VECTOR_REG.search(o) or m == "vzeroupper"), default=None)
        if last_vector is None or mnemonics[last_vector] != "vzeroupper" or \
                last_vector == (first_vector or 0):
            problems.append(f"{label}: {name} must execute VZEROUPPER again before it returns")
    return problems


def expected_constants():
    rows = b"".join(struct.pack("<8I", *([k] * 8)) for k in
                    (0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6))
    mask = bytes([3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12]) * 2
    return rows + mask


def section_headers(objdump, binary):
    """Returns {name: (size, vma, flags text)} from objdump -h."""
    sections = {}
    lines = run(objdump, "-h", binary).splitlines()
    for i, line in enumerate(lines):
        fields = line.split()
        if len(fields) >= 7 and fields[0].isdigit():
            flags = lines[i + 1].strip() if i + 1 < len(lines) else ""
            sections[fields[1]] = (int(fields[2], 16), int(fields[3], 16), flags)
    return sections


def symbol_address(objdump, binary, symbol):
    """Returns (address, section name) of `symbol`, or None."""
    for line in run(objdump, "-t", binary).splitlines():
        fields = line.split()
        if not fields or fields[-1] != symbol:
            continue
        # PE/COFF: [ 5](sec  3)(fl 0x00)(ty   0)(scl   2) (nx 0) 0x00000000 name
        coff = re.search(r"\(sec\s+(-?\d+)\).*\s0x([0-9a-f]+)\s+\S+$", line)
        if coff:
            return int(coff.group(2), 16), int(coff.group(1))
        # ELF: 000000000012c0a0 g     O CONST_SH	00000000000000a0 name
        elf = re.match(r"^([0-9a-f]+)\s.*\s(\S+)\s+[0-9a-f]+\s+\S+$", line)
        if elf:
            return int(elf.group(1), 16), elf.group(2)
    return None


def check_constants(objdump, binary):
    problems = []
    sections = section_headers(objdump, binary)
    if "CONST_SH" not in sections:
        return ["no section named CONST_SH"]
    size, vma, flags = sections["CONST_SH"]
    if "READONLY" not in flags or "CODE" in flags:
        problems.append(f"section CONST_SH is not read-only data: {flags}")
    if size < CONST_SH_SIZE:
        problems.append(f"section CONST_SH holds {size} bytes, fewer than {CONST_SH_SIZE}")

    found = symbol_address(objdump, binary, CONST_SH_SYMBOL)
    if found is None:
        problems.append(f"no symbol {CONST_SH_SYMBOL}")
    else:
        address, section = found
        # ELF names the section; PE/COFF numbers it, from 1 in header order.
        if isinstance(section, int):
            names = list(sections)
            section = names[section - 1] if 0 < section <= len(names) else "?"
            if address < vma:
                address += vma  # an object file's symbol value is an offset
        if section != "CONST_SH":
            problems.append(f"{CONST_SH_SYMBOL} is in section {section}, not CONST_SH")
        if address % 32 != 0:
            problems.append(f"{CONST_SH_SYMBOL} at {address:#x} is not on a 32-byte boundary")
        if address != vma:
            problems.append(f"CONST_SH holds more than {CONST_SH_SYMBOL}")

    content = bytearray()
    for line in run(objdump, "-s", "-j", "CONST_SH", binary).splitlines():
        match = re.match(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", line)
        if match:
            content += bytes.fromhex(match.group(1).replace(" ", ""))
    if bytes(content[:CONST_SH_SIZE]) != expected_constants() or \
            any(content[CONST_SH_SIZE:]):
        problems.append("CONST_SH does not hold exactly K0..K3 and the byte-swap mask")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--function", action="append", default=[],
                        metavar="SYMBOL=VARIANT",
                        help="check SYMBOL as the given variant instead of the "
                             "five block functions")
    parser.add_argument("--no-constants", action="store_true",
                        help="skip the CONST_SH checks")
    parser.add_argument("binary")
    args = parser.parse_args()

    if args.function:
        targets = []
        for item in args.function:
            symbol, _, variant = item.partition("=")
            if variant not in VARIANTS:
                parser.error(f"unknown variant in {item}")
            targets.append((symbol, variant))
    else:
        targets = [(symbol, variant) for variant, (_, symbol) in VARIANTS.items()]

    bits32 = is_32_bit(args.objdump, args.binary)
    problems = []
    for symbol, variant in targets:
        symbol = assembler_name(symbol, bits32)
        instructions = disassemble(args.objdump, args.binary, symbol)
        if not instructions:
            problems.append(f"{symbol}: not found in {args.binary}")
            continue
        instructions = strip_padding(instructions)
        found = check_function(symbol, variant, instructions, bits32)
        problems += found
        if not found:
            vector = sum(1 for m, _ in instructions if m in VECTOR[variant][0])
            print(f"{VARIANTS[variant][0]}: {len(instructions)} instructions, "
                  f"{vector} of them vector, all allowed")
    if not args.no_constants:
        found = check_constants(args.objdump, args.binary)
        problems += found
        if not found:
            print("CONST_SH: read-only section of its own, 32-byte aligned, "
                  "K0..K3 and the byte-swap mask")

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
