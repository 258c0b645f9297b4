/* SPDX-License-Identifier: MIT */
/* The benchmark's profiling hook: it returns at once, so the profiling
   configuration of a routine is measured with the cost of its entry frame
   and the call, and nothing a real profiler would add.  It is not named
   _mcount: the benchmark's profiling objects are renamed to call it, and
   another set keeps calling the platform C library's _mcount. */
	.text
	.p2align 4
	.globl returning_mcount
	.type returning_mcount, @function
returning_mcount:
	ret
	.size returning_mcount, .-returning_mcount
	.section .note.GNU-stack,"",@progbits
