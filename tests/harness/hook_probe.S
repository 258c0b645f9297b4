/* SPDX-License-Identifier: MIT */
/* A test profiling hook.  It logs its own return address (inside the routine
   that called it) and the return address found through the frame pointer
   (inside that routine's caller), then scribbles over every scratch
   register, integer and SIMD: a routine must load nothing before the hook. */

#define LOG_SIZE 64

	.bss
	.p2align 2
	.globl sse2str_hook_calls
sse2str_hook_calls:
	.zero 4
	.globl sse2str_hook_self
sse2str_hook_self:
	.zero 4*LOG_SIZE
	.globl sse2str_hook_caller
sse2str_hook_caller:
	.zero 4*LOG_SIZE

	.text
	.p2align 4
	.globl _mcount
	.type _mcount, @function
_mcount:
	movl sse2str_hook_calls, %eax
	cmpl $LOG_SIZE, %eax
	jae 1f
	movl (%esp), %ecx
	movl %ecx, sse2str_hook_self(,%eax,4)
	movl 4(%ebp), %ecx
	movl %ecx, sse2str_hook_caller(,%eax,4)
1:	incl sse2str_hook_calls
	movl $0xDEADBEEF, %eax
	movl %eax, %ecx
	movl %eax, %edx
	pcmpeqb %xmm0, %xmm0
	pcmpeqb %xmm1, %xmm1
	pcmpeqb %xmm2, %xmm2
	pcmpeqb %xmm3, %xmm3
	pcmpeqb %xmm4, %xmm4
	pcmpeqb %xmm5, %xmm5
	pcmpeqb %xmm6, %xmm6
	pcmpeqb %xmm7, %xmm7
	ret
	.size _mcount, .-_mcount

	.section .note.GNU-stack,"",@progbits
