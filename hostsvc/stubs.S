/* Host service bindings. Each binding marks its vector as in use (byte V of
   the array at control-block word 1) and jumps to routine S of vector V, so
   arguments and result pass through untouched -- also for the variadic
   message services. Only caller-saved registers are used. */

        .text
        .p2align 4
        .type   hostsvc_pc, @function
hostsvc_pc:
        movl    (%esp), %ecx
        ret
        .size   hostsvc_pc, .-hostsvc_pc

.macro STUB name, v, s
        .globl  \name
        .hidden \name
        .type   \name, @function
        .p2align 4
\name:
        call    hostsvc_pc
        addl    $_GLOBAL_OFFSET_TABLE_, %ecx
        movl    v_global_gcb_anchor@GOTOFF(%ecx), %eax
        movl    4(%eax), %edx
        movb    $1, \v(%edx)
        movl    (%eax), %eax
        movl    4*\v(%eax), %eax
        jmp     *4*\s(%eax)
        .size   \name, .-\name
.endm

#define SERVICE(name, v, s) STUB name, v, s
#include "services.def"

        .section .note.GNU-stack,"",@progbits
