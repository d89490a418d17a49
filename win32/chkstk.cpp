// The stack probe the compiler calls, frame size in EAX, before a function whose locals pass
// a page: EntryPoint's two 64 KiB buffers and the walk's handle stack. Windows grows the
// stack through a single guard page, so every page must be touched in order from the top
// down; skipping one faults. No C runtime provides the probe here, so we do.
//
// Contract: on return ESP is lower by exactly EAX than before the call; ECX and EDX are kept.
extern "C" __attribute__((naked)) void _chkstk(void)
{
    __asm__ volatile(
        "pushl  %ecx\n\t"
        "leal   4(%esp), %ecx\n\t" // the return address
        "subl   %eax, %ecx\n\t"    // where it goes: the new top of the stack
        "jae    1f\n\t"
        "xorl   %ecx, %ecx\n\t"    // a frame larger than the address space: probe until it faults
        "1:\n\t"
        "movl   %esp, %eax\n\t"
        "andl   $-4096, %eax\n\t"  // the page under ESP, already in use
        "2:\n\t"
        "cmpl   %eax, %ecx\n\t"
        "jae    3f\n\t"
        "subl   $4096, %eax\n\t"
        "testl  %eax, (%eax)\n\t"  // touch the next page down
        "jmp    2b\n\t"
        "3:\n\t"
        "movl   %ecx, %eax\n\t"
        "popl   %ecx\n\t"
        "xchgl  %eax, %esp\n\t"    // ESP at the new top, EAX at the return address
        "movl   (%eax), %eax\n\t"
        "movl   %eax, (%esp)\n\t"
        "ret");
}
