@ Start-up of the bare-metal harness: the loader enters at _start in ARM
@ state with the MMU and caches off. Sets up the stack, clears .bss and
@ calls harness_main; its result is the program's exit status.
    .syntax unified
    .arm
    .section .text.start, "ax"
    .global _start
_start:
    ldr     sp, =__stack_top
    ldr     r0, =__bss_start
    ldr     r1, =__bss_end
    mov     r2, #0
1:  cmp     r0, r1
    strlo   r2, [r0], #4
    blo     1b
    bl      harness_main
    bl      harness_exit
2:  b       2b
