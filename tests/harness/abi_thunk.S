/* SPDX-License-Identifier: MIT */
/* Assembly call thunk for the ABI checks; see abi.h for the layout. */

#define ENTRY 0
#define ARGS 4
#define MISALIGN 20
#define TRACE 24
#define RESULT 28
#define EBX 32
#define ESI 36
#define EDI 40
#define EBP 44
#define ESP_BEFORE 48
#define ESP_AFTER 52
#define EFLAGS_AFTER 56
#define ARGS_AFTER 60
#define SAVED_ESP 76

#define TRAP_FLAG 0x100

	.bss
	.p2align 2
current_call:
	.zero 4

	.text
	.p2align 4
	.globl sse2str_abi_call
	.type sse2str_abi_call, @function
sse2str_abi_call:
	pushl %ebp
	movl %esp, %ebp
	pushl %ebx
	pushl %esi
	pushl %edi
	movl 8(%ebp), %eax
	movl %eax, current_call
	movl %esp, SAVED_ESP(%eax)

	/* A fresh stack area: 16-byte aligned, then lowered by `misalign`. */
	leal -64(%esp), %ecx
	andl $-16, %ecx
	subl MISALIGN(%eax), %ecx
	movl %ecx, %esp
	movl ARGS+0(%eax), %edx
	movl %edx, 0(%esp)
	movl ARGS+4(%eax), %edx
	movl %edx, 4(%esp)
	movl ARGS+8(%eax), %edx
	movl %edx, 8(%esp)
	movl ARGS+12(%eax), %edx
	movl %edx, 12(%esp)
	movl %esp, ESP_BEFORE(%eax)

	movl $0xB0B0B0B0, %ebx
	movl $0x51515151, %esi
	movl $0xD1D1D1D1, %edi
	movl $0xEBEBEBEB, %ebp
	movl ENTRY(%eax), %edx
	cmpl $0, TRACE(%eax)
	je 1f
	/* The trap flag takes effect after the instruction that follows the
	   popfl: the first trap comes at the routine's first instruction. */
	pushfl
	orl $TRAP_FLAG, (%esp)
	popfl
1:	movl $0x0BAD0BAD, %eax
	movl $0x0BAD0BAD, %ecx
	call *%edx
	.globl sse2str_abi_return_site
sse2str_abi_return_site:
	pushfl
	popl %ecx
	pushl %ecx
	andl $~TRAP_FLAG, (%esp)
	popfl

	movl current_call, %edx
	movl %eax, RESULT(%edx)
	movl %ecx, EFLAGS_AFTER(%edx)
	movl %ebx, EBX(%edx)
	movl %esi, ESI(%edx)
	movl %edi, EDI(%edx)
	movl %ebp, EBP(%edx)
	movl %esp, ESP_AFTER(%edx)
	movl 0(%esp), %ecx
	movl %ecx, ARGS_AFTER+0(%edx)
	movl 4(%esp), %ecx
	movl %ecx, ARGS_AFTER+4(%edx)
	movl 8(%esp), %ecx
	movl %ecx, ARGS_AFTER+8(%edx)
	movl 12(%esp), %ecx
	movl %ecx, ARGS_AFTER+12(%edx)

	movl SAVED_ESP(%edx), %esp
	popl %edi
	popl %esi
	popl %ebx
	popl %ebp
	ret
	.size sse2str_abi_call, .-sse2str_abi_call

	.section .note.GNU-stack,"",@progbits
