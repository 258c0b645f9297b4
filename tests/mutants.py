# SPDX-License-Identifier: MIT
"""The mutation check's catalogue (scripts/mutate.py, docs/TESTING.md): the
deliberate faults, each of which at least one test must catch.

Each mutant is (name, file, old text, new text, tiers of tests[, regen]):
one exact text replacement in a source, and the ctest regular expressions,
run tier by tier, of which at least one must fail.  A mutant of a routine's
source reaches the objects through the pinned compiler, as `make regen`
would carry it into gen/, unless regen is False; a mutant of a generated
file is assembled as it stands.  A mutant the object checks reject stops
the build, which counts as caught when it leaves nothing delivered.  A
routine joins with its own entries; the frame's and the cascades' entries
run every test.
"""
from collections import namedtuple

Mutant = namedtuple("Mutant", "name path old new tiers regen", defaults=(True,))

# The tests of a mutant, in tiers run in turn until one fails: first the
# differential tests that take every routine alike (quick, and they catch
# most faults), then the routine's own tests and object checks (which alone
# see the calling convention and the call-frame records, and one of which
# runs under valgrind).


def routine_tests(routine, module):
    return (rf"^(reliability\.|fuzz\.{routine}\.)", rf"^{module}\.")


MEMCHR = routine_tests("memchr", "memchr_sse2")
STRNLEN = routine_tests("strnlen", "strnlen_sse2")
STRRCHR = routine_tests("strrchr", "strrchr_sse2")
STPCPY = routine_tests("stpcpy", "stpcpy_sse2")
WCSCMP = routine_tests("wcscmp", "wcscmp_sse2")
# The two fills share their source: every fill test.
FILLS = (r"^(reliability\.|fuzz\.(memset|bzero)\.)", r"^((memset|bzero)_sse2_rep\.|fill_)")
EVERYTHING = (r"^(reliability|fuzz)\.", r".")
# A fault in a building block: first the blocks' own test, which names the
# mask, bound or residue the fault spoils.
BLOCKS = (r"^blocks$",)
# Faults that leave every result right, which only the object checks the
# build runs can see (the object contract, the call-frame records): no test
# tier, the build itself must stop.
BUILD = ()
OBJECT_ANCHOR = "  const Block needle = broadcast_byte(value);\n"

# The plain-C twins under the routines' tests, and the choice between them
# and the routines.
GENERIC = (r"^generic\.",)
CHOICE = (r"^(dispatch|interpose)\.",)

# The proof of the objects alone (tests/proof/), at the test suite's bound.
def proof_tests(*modules):
    return (rf"^proof\.({'|'.join(modules)})\.",)


# (name, file, old text, new text, tiers of tests of which one must fail)
MUTANTS = [
    # ---- the entry frame, shared by every routine ----
    ("frame: %ebp not restored after the hook",
     "frame/entry_frame.h",
     r'"\tpopl %ebp\n"',
     r'"\taddl $4, %esp\n"',
     EVERYTHING),
    # ---- call-frame records, checked statically at every reachable instruction ----
    ("frame: a jump between the entry frame and the body",
     "frame/entry_frame.h",
     r'"\tpopl %ebp\n"',
     r'"\tpopl %ebp\n" "\tjmp 1f\n" "\tnop\n" "1:\n"',
     BUILD),
    ("cfi: the saved %ebp's slot not recorded after its push",
     "frame/entry_frame.h",
     r'"\t.cfi_rel_offset %ebp, 0\n"',
     "",
     BUILD),
    ("cfi: wrong frame address after a push",
     "frame/entry_frame.h",
     r'"\t.cfi_adjust_cfa_offset 4\n"',
     r'"\t.cfi_adjust_cfa_offset 8\n"',
     BUILD),
    ("cfi: the body's records a procedure of their own",
     "frame/entry_frame.h",
     r'"\t.cfi_restore %ebp\n"',
     r'"\t.cfi_restore %ebp\n" "\t.cfi_endproc\n" "\t.cfi_startproc\n"',
     BUILD),
    # A return inside the body whose following code keeps the records of the
    # popped state.  GCC describes its own mid-body returns correctly
    # (.cfi_remember_state/.cfi_restore_state around them), whatever the
    # flags, so the fault is planted in the hand-written frame: a branch that
    # is always taken (%esp is never zero) jumps over a pop and a return, and
    # the code after them is left with the rows of the popped state.
    ("cfi: records not restored after a return inside the body",
     "frame/entry_frame.h",
     r'"\tcall _mcount\n"',
     r'"\tcall _mcount\n" "\ttestl %esp, %esp\n" "\tjnz 1f\n" "\tpopl %ebp\n" '
     r'"\t.cfi_def_cfa %esp, 4\n" "\t.cfi_restore %ebp\n" "\tret\n" "1:\n"',
     BUILD),
    # ---- the generated assembly ----
    # Edited by hand: a register saved and restored in the body without its
    # call-frame records.  Every result stays right; the build must refuse
    # the object and deliver nothing.
    ("gen: a push and pop of %ebx planted in a generated body",
     "gen/prof/memchr_sse2.s",
     "\tpopl %ebp\n",
     "\tpopl %ebp\n\tpushl %ebx\n\tpopl %ebx\n",
     BUILD),
    # A source changed without `make regen`: the objects stay as they were,
    # so only the comparison of gen/ with what the sources make now sees it.
    ("gen: a routine's source changed without make regen",
     "search/memchr_sse2.cpp",
     "  if (count_arg == 0) return nullptr;\n",
     "  (void)count_arg;\n",
     (r"^generated\.",), False),
    # ---- shared building blocks ----
    ("cascade: off-by-one bound test",
     "frame/cascade.h",
     "return P < remaining;",
     "return P <= remaining;",
     BLOCKS + EVERYTHING),
    ("cascade: first match at position 1 taken for 2",
     "frame/cascade.h",
     "  if (mask & (1u << Low)) return exit(Position<Low>{});\n"
     "  if (mask & (1u << (Low + 1))) return exit(Position<Low + 1>{});",
     "  if (mask & (1u << Low)) return exit(Position<Low>{});\n"
     "  if (mask & (1u << (Low + 1))) return exit(Position<Low + 2>{});",
     BLOCKS + EVERYTHING),
    ("cascade: last match in bit 15 alone looked for in the low byte",
     "frame/cascade.h",
     "if (mask & 0xFF00u) return detail::last_in_byte<8>(mask, exit);",
     "if (mask & 0x7F00u) return detail::last_in_byte<8>(mask, exit);",
     BLOCKS + EVERYTHING),
    ("scan: the tail reads a block the range does not reach",
     "frame/scan.h",
     "if (k != 0 && remaining <= offset) return false;",
     "if (k != 0 && remaining < offset) return false;",
     BLOCKS + EVERYTHING),
    ("scan: a match in block 2 of a pass or line taken for block 3",
     "frame/scan.h",
     "      scan += 2 * kBlockSize;",
     "      scan += 3 * kBlockSize;",
     BLOCKS + EVERYTHING),
    # The passes' counts summed from the count in front of them: one value
    # more than the scratch registers hold, spilled to a stack frame.
    ("scan: the passes' counts kept as one sum, spilled",
     "frame/scan.h",
     "  keep_as_is(remaining);\n}",
     "  (void)remaining;\n}",
     BUILD),
    ("cascade: linear first match takes bit 7 for bit 6",
     "frame/cascade.h",
     "if (mask & 0xFFu) return detail::first_from_bit<0, 7>(mask, exit);",
     "if (mask & 0xFFu) return detail::first_from_bit<0, 6>(mask, exit);",
     BLOCKS + EVERYTHING),
    # ---- the object check: register and stack discipline, SIMD set ----
    # Each plants one forbidden pattern in an otherwise correct routine, so
    # only the object check can catch it.
    ("object: SSE register with a stack operand",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("movdqu 4(%%esp), %%xmm7" ::: "xmm7");\n',
     BUILD),
    ("object: stack realigned",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("push %%ebx\\n\\tmov %%esp, %%ebx\\n\\tand $-16, %%esp\\n\\t"'
     '"mov %%ebx, %%esp\\n\\tpop %%ebx" ::: "memory");\n',
     BUILD),
    ("object: stack pointer moved by arithmetic",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("sub $4, %%esp\\n\\tadd $4, %%esp" ::: "memory");\n',
     BUILD),
    ("object: frame pointer set in the body",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("push %%ebp\\n\\tmov %%esp, %%ebp\\n\\tpop %%ebp" ::: "memory");\n',
     BUILD),
    ("object: x87 instruction",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("fldz\\n\\tfstp %%st(0)" ::: "memory");\n',
     BUILD),
    ("object: a part of the routine named by a symbol of its own",
     "search/memchr_sse2.cpp",
     "size_t count) SSE2STR_UNNAMED(memchr_body);",
     "size_t count);",
     BUILD),
    ("object: a conditional branch to a lone jump",
     "search/memchr_sse2.cpp", OBJECT_ANCHOR,
     OBJECT_ANCHOR + '  asm volatile("testl %%esp, %%esp\\n\\tjz 1f\\n1:\\tjmp 2f\\n2:" ::: "cc");\n',
     BUILD),
    ("object: the unbounded cascade copied into the line's block 0",
     "search/memchr_sse2.cpp",
     "  mask = mask_of(block0);\n  if (mask) goto found;\n",
     "  mask = mask_of(block0);\n"
     "  if (mask) return first_match(mask, [scan](auto position) { return address(scan + position); });\n",
     BUILD),
    ("object: position 0 returns through the `ret` of another exit",
     "search/memchr_sse2.cpp",
     "    if constexpr (position == 0) own_return();\n    return address(scan + position);",
     "    return address(scan + position);",
     BUILD),
    ("object: SIMD operation outside the set (POR for PMAXUB, same result)",
     "frame/block.h",
     "SSE2STR_INLINE Block either_matched(Block a, Block b) { return _mm_max_epu8(a, b); }",
     "SSE2STR_INLINE Block either_matched(Block a, Block b) { return _mm_or_si128(a, b); }",
     BUILD),
    # ---- memchr ----
    ("memchr: zero count not caught",
     "search/memchr_sse2.cpp",
     "  if (count_arg == 0) return nullptr;\n",
     "  (void)count_arg;\n",
     MEMCHR),
    ("memchr: unaligned first read without the line guard",
     "search/memchr_sse2.cpp",
     "if (__builtin_expect(line_offset(scan) <= kLastWholeBlockInLine, 1)) {",
     "if (__builtin_expect(line_offset(scan) < kLineSize, 1)) {",
     MEMCHR),
    ("memchr: mask of the aligned first block shifted one short",
     "search/memchr_sse2.cpp",
     "mask = match_mask(load_aligned(block_align_down(scan)), needle) >> block_offset(scan);",
     "mask = match_mask(load_aligned(block_align_down(scan)), needle) >> (block_offset(scan) - 1);",
     MEMCHR),
    ("memchr: line merge leaves out blocks 0 and 2",
     "search/memchr_sse2.cpp",
     "block3 = either_matched(block3, block2);",
     "block3 = either_matched(block3, block1);",
     MEMCHR),
    ("memchr: range end formed as an address (wraps past the top)",
     "search/memchr_sse2.cpp",
     "  if (count_arg == 0) return nullptr;\n",
     "  if (count_arg == 0 || reinterpret_cast<uintptr_t>(start) + count_arg < count_arg)"
     " return nullptr;\n",
     MEMCHR),
    # ---- strnlen ----
    ("strnlen: a probe reads the byte at the bound",
     "search/strnlen_sse2.cpp",
     "if (j != 0 && bound_operand() == Index + j) return Index + j;",
     "if (j != 0 && bound_operand() < Index + j) return Index + j;",
     STRNLEN),
    ("strnlen: remaining count after the probes one too many",
     "search/strnlen_sse2.cpp",
     "remaining = bound - (kBlockSize - block_offset(probe));",
     "remaining = bound - (kBlockSize - block_offset(probe)) + 1;",
     STRNLEN),
    ("strnlen: a zero bound told by the start's low byte",
     "search/strnlen_sse2.cpp",
     "return argument_operand<unsigned char>(1) == 0;",
     "return argument_operand<unsigned char>(0) == 0;",
     STRNLEN),
    ("strnlen: the run of exits one too far for offset 9",
     "search/strnlen_sse2.cpp",
     "      return length + Offset;\n",
     "      return length + Offset + (Offset == 9);\n",
     STRNLEN),
    ("strnlen: line fold leaves out block 3",
     "search/strnlen_sse2.cpp",
     "block2 = bytewise_min(block2, block3);",
     "block2 = bytewise_min(block2, block1);",
     STRNLEN),
    # ---- strrchr ----
    ("strrchr: a match right after the terminator kept",
     "search/strrchr_sse2.cpp",
     "return (2u << T) - 1;",
     "return (4u << T) - 1;",
     STRRCHR),
    ("strrchr: zeros in front of the start taken for the terminator",
     "search/strrchr_sse2.cpp",
     "zero_mask = zero_mask_of(block, zeros) >> skew;",
     "zero_mask = zero_mask_of(block, zeros);",
     STRRCHR),
    ("strrchr: matches of the loop blocks not saved",
     "search/strrchr_sse2.cpp",
     "      saved = SavedMatch(scan, either);\n      scan += kBlockSize;",
     "      scan += kBlockSize;",
     STRRCHR),
    # The loop keeps only the OR of a block's masks; the terminator's block
    # must take its value mask again, or its own zero bytes count as matches.
    ("strrchr: the terminator's block resolved with the loop's OR of its masks",
     "search/strrchr_sse2.cpp",
     "    value_mask = mask_of(matches);\n",
     "    value_mask = either;\n",
     STRRCHR),
    ("strrchr: a match in the fourth block of a pass saved a block too far on",
     "search/strrchr_sse2.cpp",
     "    scan -= kBlockSize;\n",
     "",
     STRRCHR),
    ("strrchr: a first block with the terminator saves its own matches",
     "search/strrchr_sse2.cpp",
     "    saved.clear();\n",
     "    saved = SavedMatch(start, value_mask);\n",
     STRRCHR),
    # ---- stpcpy ----
    # The module fixes the callee-saved registers, so a clobber would not
    # make GCC save one: the push is planted with its call-frame records.
    ("stpcpy: the short path saves a register",
     "copy/stpcpy_sse2.cpp",
     "  if (find_short_terminator(source, terminator)) goto finish;\n",
     '  asm volatile("pushl %%ebx\\n\\t.cfi_adjust_cfa_offset 4\\n\\t.cfi_rel_offset %%ebx, 0\\n\\t"'
     '"popl %%ebx\\n\\t.cfi_adjust_cfa_offset -4\\n\\t.cfi_restore %%ebx" ::: "memory");\n'
     "  if (find_short_terminator(source, terminator)) goto finish;\n",
     (r"^stpcpy_sse2\.",)),
    ("stpcpy: a string of 15 bytes taken for a long one",
     "copy/stpcpy_sse2.cpp",
     "if constexpr (I == kBlockSize) {",
     "if constexpr (I == kBlockSize - 1) {",
     STPCPY),
    ("stpcpy: the line that holds the terminator stores its block 0 whole",
     "copy/stpcpy_sse2.cpp",
     "  if (mask) goto locate;\n  store_unaligned(copy_of(block, delta), block0);",
     "  store_unaligned(copy_of(block, delta), block0);\n  if (mask) goto locate;",
     STPCPY),
    ("stpcpy: the first line starts a line too far on",
     "copy/stpcpy_sse2.cpp",
     "line_align_down(block + kBlockPhaseReach);",
     "line_align_down(block + kBlockPhaseReach + kLineSize);",
     STPCPY),
    # ---- wcscmp ----
    ("wcscmp: characters ordered as unsigned",
     "compare/wcscmp_sse2.cpp",
     "return first > second ? 1 : -1;",
     "return static_cast<uint32_t>(first) > static_cast<uint32_t>(second) ? 1 : -1;",
     WCSCMP),
    ("wcscmp: agreement mask takes terminators for agreeing pairs",
     "compare/wcscmp_sse2.cpp",
     "return mask_of(_mm_sub_epi8(equal, zero));",
     "return mask_of(_mm_max_epu8(equal, zero));",
     WCSCMP),
    ("wcscmp: distance-2 pass loads its straddling block 2 as a vector",
     "compare/wcscmp_sse2.cpp",
     "PassOf<UnalignedVector,     Scalar,         Vector, Scalar, Vector>;",
     "PassOf<UnalignedVector,     Scalar,         Vector, Vector, Vector>;",
     WCSCMP),
    ("wcscmp: line offsets 17 to 31 classed as straddling at block 1",
     "compare/wcscmp_sse2.cpp",
     "if (class_test<S>(offset < 2 * kBlockSize)) return next(Straddles<2>{});",
     "if (class_test<S>(offset < 2 * kBlockSize)) return next(Straddles<1>{});",
     WCSCMP),
    ("wcscmp: a lead-in block that decides sends its lane exits a lead-in further on",
     "compare/wcscmp_sse2.cpp",
     "    if (!decided(verdict)) s.advance(Length * kBlockSize);",
     "    s.advance(Length * kBlockSize);",
     WCSCMP),
    # Both leave every result right: only the object check sees them.
    ("wcscmp: the both-aligned pass reads the first string's block twice",
     "compare/wcscmp_sse2.cpp",
     "const Block tested = Tested::in_register(s, kOffset);",
     "const Block tested = Tested::operand(s, kOffset);",
     BUILD),
    ("wcscmp: the lane exits share one return through jumps",
     "compare/wcscmp_sse2.cpp",
     "if (!rarely(first != second)) return terminator_as_result(first);",
     "if (rarely(first == second)) return terminator_as_result(first);",
     BUILD),
    # ---- memset and bzero ----
    ("fill: the 8-byte closing store made 16 bytes wide",
     "fill/fill.h",
     "if constexpr ((R & 8) != 0) store_quad(end - R, block);",
     "if constexpr ((R & 8) != 0) store_unaligned(end - R, block);",
     BLOCKS + FILLS),
    ("fill: 2-byte stores made 4 bytes wide",
     "fill/fill.h",
     "  *reinterpret_cast<Unaligned16*>(p) = static_cast<uint16_t>(word);",
     "  *reinterpret_cast<Unaligned32*>(p) = word;",
     BLOCKS + FILLS),
    ("fill: the string store counts bytes, not words",
     "fill/fill.h",
     "size_t words = remaining / kWordSize;",
     "size_t words = remaining;",
     FILLS),
    ("fill: head store of an unaligned start left out",
     "fill/fill_body.inc",
     "    store_unaligned(start, block);\n",
     "",
     FILLS),
    # Results stay right: only the table check sees these.
    ("fill: the tail sequences share one epilogue",
     "fill/fill.h",
     "    closing_run<(r)>(end, pattern, block);"
     "                                               \\\n    return finish();",
     "    closing_run<(r)>(end, pattern, block);"
     "                                               \\\n    if ((r) != 0) goto tail_0_0;"
     "                                                         \\\n    return finish();",
     BUILD),
    ("fill: the medium fill and the block loop share one jump into the tail table",
     "CMakeLists.txt",
     "-fno-tree-coalesce-vars)",
     "-fno-tree-coalesce-vars\n    --param=max-goto-duplication-insns=0)",
     BUILD),
    ("fill: the block loop's last 16 bytes left to nobody",
     "fill/fill_body.inc",
     "remaining = running + kStrideSize;",
     "remaining = running + kStrideSize - kBlockSize;",
     FILLS),
    # ---- the licence line every file of the project opens with ----
    ("licence: a script without its SPDX line",
     "scripts/fuzz.sh",
     "# SPDX-License-Identifier: MIT\n",
     "",
     (r"^licence\.",)),
    # ---- caught by the proof alone: each a fault one input and one placement show ----
    # Planted in the generated assembly the objects are assembled from: the
    # same faults made in the C++ change how GCC lays the routine out, and
    # the build's size rule stops them before any test runs.
    ("proof: a tail block read when the range ended a block before it",
     "gen/noprof/memchr_sse2.s",
     "\tcmpl\t$32, %edx\n\tjbe\t.L3\n",
     "\tcmpl\t$16, %edx\n\tjbe\t.L3\n",
     proof_tests("memchr_sse2")),
    ("proof: the lane pick takes lane 3 for lane 2",
     "compare/wcscmp_sse2.cpp",
     "  if (disagreement & kThirdLaneBits) return exit(Position<2>{});",
     "  if (disagreement & kThirdLaneBits) return exit(Position<3>{});",
     proof_tests("wcscmp_sse2")),
    ("proof: the bound test lets the position at the bound pass",
     "frame/cascade.h",
     "return P < remaining;",
     "return P <= remaining;",
     proof_tests("memchr_sse2", "strnlen_sse2")),
    ("proof: wcscmp orders characters unsigned, negative ones above the rest",
     "gen/noprof/wcscmp_sse2.s",
     ".L165:\n\tsetg\t%al\n",
     ".L165:\n\tseta\t%al\n",
     proof_tests("wcscmp_sse2")),
    ("proof: the closing byte store of a fill two bytes wide",
     "gen/noprof/memset_sse2_rep.s",
     ".L33:\n\tmovw\t%dx, -3(%eax)\n\tmovb\t%dl, -1(%eax)\n",
     ".L33:\n\tmovw\t%dx, -3(%eax)\n\tmovw\t%dx, -1(%eax)\n",
     proof_tests("memset_sse2_rep")),
    # ---- caught by the proof for every size alone: past every bound it can afford ----
    ("proof: the line loop compares the count left in 16 bits",
     "gen/noprof/memchr_sse2.s",
     ".L54:\n\taddl\t$64, %eax\n\tcmpl\t$64, %edx\n",
     ".L54:\n\taddl\t$64, %eax\n\tcmpw\t$64, %dx\n",
     (r"^proof\.complete\.memchr_sse2\.noprof$",)),
    # A pointer stepped in 16 bits goes wrong only where the scan crosses a
    # 64 KiB boundary, after as many as a thousand passes.  (The same step
    # in stpcpy's line loop fails its proof for every size too, but only
    # after eleven minutes, too long for a mutant of every CI run.)
    ("proof: strrchr's line loop steps its pointer in 16 bits",
     "gen/noprof/strrchr_sse2.s",
     "\tmovdqa\t48(%eax), %xmm0\n\taddl\t$64, %eax\n",
     "\tmovdqa\t48(%eax), %xmm0\n\taddw\t$64, %ax\n",
     (r"^proof\.complete\.strrchr_sse2\.noprof$",)),
    # The same in wcscmp's aligned pass, for the second string only: its
    # pointer wraps within 64 KiB while the first's goes on.
    ("proof: wcscmp's aligned pass steps the second string's pointer in 16 bits",
     "gen/noprof/wcscmp_sse2.s",
     "\tje\t.L305\n\taddl\t$64, %ecx\n\taddl\t$64, %edx\n",
     "\tje\t.L305\n\taddl\t$64, %ecx\n\taddw\t$64, %dx\n",
     (r"^proof\.complete\.wcscmp_sse2\.noprof$",)),
    # A fill's string store counts its words in 16 bits: right while the
    # count is below 64 KiB, a store of the wrong length from there on.
    ("proof: memset's string store counts its words in 16 bits",
     "gen/noprof/memset_sse2_rep.s",
     "\tmovd\t%ecx, %xmm2\n\tshrl\t$2, %ecx\n",
     "\tmovd\t%ecx, %xmm2\n\tshrw\t$2, %cx\n",
     (r"^proof\.complete\.memset_sse2_rep\.noprof$",)),
    # ---- outside the modules: the plain-C twins and the choice ----
    ("generic: strrchr stops at the terminator before it can match it",
     "dispatch/generic.c",
     "    if (*p == byte) last = p;\n    if (*p == 0) return (char *)last;\n",
     "    if (*p == 0) return (char *)last;\n    if (*p == byte) last = p;\n",
     GENERIC),
    ("generic: wcscmp orders characters unsigned",
     "dispatch/generic.c",
     "return *first < *second ? -1 : 1;",
     "return (unsigned long)*first < (unsigned long)*second ? -1 : 1;",
     GENERIC),
    ("generic: a fill leaves the last byte of its part word",
     "dispatch/generic.c",
     "for (; count > 0; --count) *p++ = byte;\n}",
     "for (; count > 1; --count) *p++ = byte;\n}",
     GENERIC),
    ("dispatch: the twins chosen where the processor has SSE2",
     "dispatch/dispatch.c",
     "return sse2_present() ? symbol : SSE2STR_GENERIC(name);",
     "return !sse2_present() ? symbol : SSE2STR_GENERIC(name);",
     CHOICE),
    ("interposition: no refusal without SSE2",
     "dispatch/sse2_required.c",
     "if (!sse2_present()) refuse();",
     "if (!sse2_present() && 0) refuse();",
     CHOICE),
    # This one stops the build at the size rule; the proof, run on the
    # object itself, names the exit and the input (docs/TESTING.md).
    ("proof: %esi cleared on the exit of a bound inside the probes",
     "search/strnlen_sse2.cpp",
     "if (j != 0 && bound_operand() == Index + j) return Index + j;",
     "if (j != 0 && bound_operand() == Index + j) {\n"
     '      asm volatile("xorl %%esi, %%esi" ::: "memory");\n'
     "      return Index + j;\n    }",
     proof_tests("strnlen_sse2")),
]
