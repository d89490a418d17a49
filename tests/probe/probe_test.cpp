// Checks the stack probe's contract on an emulated Windows guard page: a freestanding i386
// Linux program (raw int $0x80 system calls, no libc), run under qemu-i386-static.
//
// Windows commits a thread's stack one page at a time: below the committed pages lies a
// single guard page, and touching it commits it and moves the guard one page down; touching
// anything lower is an access violation. Wine commits whole stacks, so only this emulation can
// show a probe that skips a page or walks the wrong way. Here the stack region is mapped
// PROT_NONE except its committed top; a SIGSEGV handler on an alternate stack plays the
// guard page. For every case the probe must have:
//   - faulted pages only at the guard, so strictly top-down with no gap;
//   - committed every page its new frame uses, down to the page where it parks the return
//     address, and nothing below that;
//   - returned with ESP lower by exactly EAX than before the call, ECX and EDX unchanged.
// Deliberately broken probes run through the same cases and must each be caught.

typedef unsigned int u32;

extern "C" void _chkstk(); // win32/chkstk.cpp, compiled for this target

// --- system calls ---------------------------------------------------------------------------

enum : u32 {
    SYS_exit_group = 252, SYS_write = 4, SYS_old_mmap = 90, SYS_mprotect = 125,
    SYS_rt_sigaction = 174, SYS_rt_sigreturn = 173, SYS_sigaltstack = 186,
    PROT_NONE = 0, PROT_RW = 3, MAP_PRIVATE_ANONYMOUS = 0x22,
    SIGSEGV = 11, SA_SIGINFO = 4, SA_ONSTACK = 0x08000000, SA_RESTORER = 0x04000000,
    PAGE = 4096,
};

static long Syscall(u32 number, u32 a = 0, u32 b = 0, u32 c = 0, u32 d = 0)
{
    long result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c), "S"(d) : "memory");
    return result;
}

[[noreturn]] static void Exit(u32 status)
{
    Syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

// --- output ---------------------------------------------------------------------------------

static void Put(const char *text)
{
    u32 length = 0;
    while (text[length])
        ++length;
    Syscall(SYS_write, 1, (u32)text, length);
}

static void PutNumber(u32 value, u32 base)
{
    char digits[12];
    char *at = digits + sizeof digits;
    *--at = 0;
    do {
        *--at = "0123456789abcdef"[value % base];
        value /= base;
    } while (value);
    if (base == 16)
        Put("0x");
    Put(at);
}

static void PutDec(u32 value) { PutNumber(value, 10); }
static void PutHex(u32 value) { PutNumber(value, 16); }

// --- the emulated stack ---------------------------------------------------------------------

static const u32 REGION = 1024 * 1024;
static u32 region;     // lowest address of the stack region
static u32 committed;  // lowest committed (accessible) page
static u32 guard;      // the guard page: committed - PAGE
static u32 outOfOrder; // faults in the region below the guard, this case
static u32 firstStray; // the first such fault's address

static void Protect(u32 from, u32 to, u32 access)
{
    if (Syscall(SYS_mprotect, from, to - from, access) != 0) {
        Put("mprotect failed\n");
        Exit(2);
    }
}

// The guard page: a fault on it commits it and moves the guard down, as Windows does. A fault
// lower in the region is an access violation on Windows; it is recorded, and the whole region
// opened so that the probe can finish and the remaining cases still run.
static void OnFault(int, void *info, void *context)
{
    u32 address = ((u32 *)info)[3];
    if (address >= region && address < guard) {
        if (outOfOrder++ == 0)
            firstStray = address;
        Protect(region, committed, PROT_RW);
        committed = region;
        guard = region - PAGE;
    } else if (address >= guard && address < guard + PAGE && guard >= region) {
        Protect(guard, guard + PAGE, PROT_RW);
        committed = guard;
        guard -= PAGE;
    } else {
        Put("fault outside the stack region at ");
        PutHex(address);
        Put(", eip ");
        PutHex(((u32 *)context)[5 + 14]); // uc_mcontext.gregs[REG_EIP]
        Put("\n");
        Exit(2);
    }
}

extern "C" __attribute__((naked)) void ReturnFromSignal()
{
    __asm__ volatile("movl $173, %eax\n\t"
                     "int $0x80");
}

static void InstallGuardHandler()
{
    static char alternate[64 * 1024];
    u32 stack[3] = {(u32)alternate, 0, sizeof alternate};
    u32 action[5] = {(u32)&OnFault, SA_SIGINFO | SA_ONSTACK | SA_RESTORER, (u32)&ReturnFromSignal, 0, 0};
    if (Syscall(SYS_sigaltstack, (u32)stack, 0) != 0 ||
        Syscall(SYS_rt_sigaction, SIGSEGV, (u32)action, 0, 8) != 0) {
        Put("cannot install the SIGSEGV handler\n");
        Exit(2);
    }
}

// --- calling a probe on the emulated stack --------------------------------------------------

// In: the probe, the stack pointer to call it with, EAX, and the values put in ECX and EDX.
// Out: ESP just before the call and just after it returned, and ECX and EDX after it.
extern "C" {
void (*callProbe)();
u32 callStack, callSize, callEcx, callEdx;
u32 savedEsp, espBefore, espAfter, ecxAfter, edxAfter;
}

extern "C" __attribute__((naked)) void CallProbe()
{
    __asm__ volatile(
        "pushal\n\t"
        "movl   %esp, savedEsp\n\t"
        "movl   callStack, %esp\n\t"
        "movl   callSize, %eax\n\t"
        "movl   callEcx, %ecx\n\t"
        "movl   callEdx, %edx\n\t"
        "movl   %esp, espBefore\n\t"
        "calll  *callProbe\n\t"
        "movl   %esp, espAfter\n\t"
        "movl   %ecx, ecxAfter\n\t"
        "movl   %edx, edxAfter\n\t"
        "movl   savedEsp, %esp\n\t"
        "popal\n\t"
        "ret");
}

// --- deliberately broken probes: each must be caught ----------------------------------------

// The shared ending: ECX holds the new top, the caller's ECX is on the stack.
#define PROBE_END                                                                                  \
    "3:\n\t"                                                                                       \
    "movl   %ecx, %eax\n\t"                                                                        \
    "popl   %ecx\n\t"                                                                              \
    "xchgl  %eax, %esp\n\t"                                                                        \
    "movl   (%eax), %eax\n\t"                                                                      \
    "movl   %eax, (%esp)\n\t"                                                                      \
    "ret"
#define PROBE_START                                                                                \
    "pushl  %ecx\n\t"                                                                              \
    "leal   4(%esp), %ecx\n\t"                                                                     \
    "subl   %eax, %ecx\n\t"

// Steps two pages at a time: the page between is never touched.
extern "C" __attribute__((naked)) void SkipsEveryOtherPage()
{
    __asm__ volatile(PROBE_START "movl %esp, %eax\n\t"
                                 "andl $-4096, %eax\n\t"
                                 "2: cmpl %eax, %ecx\n\t"
                                 "jae 3f\n\t"
                                 "subl $8192, %eax\n\t"
                                 "testl %eax, (%eax)\n\t"
                                 "jmp 2b\n\t" PROBE_END);
}

// Touches the right pages, lowest first.
extern "C" __attribute__((naked)) void WalksBottomUp()
{
    __asm__ volatile(PROBE_START "movl %ecx, %eax\n\t"
                                 "andl $-4096, %eax\n\t"
                                 "2: cmpl %esp, %eax\n\t"
                                 "jae 3f\n\t"
                                 "testl %eax, (%eax)\n\t"
                                 "addl $4096, %eax\n\t"
                                 "jmp 2b\n\t" PROBE_END);
}

// Walks no pages; only the return address, parked at the new top, touches the stack.
extern "C" __attribute__((naked)) void NeverWalks()
{
    __asm__ volatile(PROBE_START PROBE_END);
}

// Only lowers ESP, as -mno-stack-arg-probe's bare `sub esp` would, and returns by a jump.
extern "C" u32 returnAddress;
u32 returnAddress;
extern "C" __attribute__((naked)) void OnlyLowersEsp()
{
    __asm__ volatile("pushl  %ecx\n\t"
                     "movl   4(%esp), %ecx\n\t"
                     "movl   %ecx, returnAddress\n\t"
                     "popl   %ecx\n\t"
                     "leal   4(%esp), %esp\n\t"
                     "subl   %eax, %esp\n\t"
                     "jmpl   *returnAddress");
}

// Walks correctly but leaves ESP one word too low.
extern "C" __attribute__((naked)) void OneWordTooLow()
{
    __asm__ volatile("pushl  %ecx\n\t"
                     "leal   (%esp), %ecx\n\t"
                     "subl   %eax, %ecx\n\t"
                     "movl %esp, %eax\n\t"
                     "andl $-4096, %eax\n\t"
                     "2: cmpl %eax, %ecx\n\t"
                     "jae 3f\n\t"
                     "subl $4096, %eax\n\t"
                     "testl %eax, (%eax)\n\t"
                     "jmp 2b\n\t" PROBE_END);
}

// Walks correctly but clobbers EDX.
extern "C" __attribute__((naked)) void ClobbersEdx()
{
    __asm__ volatile(PROBE_START "movl %esp, %edx\n\t"
                                 "andl $-4096, %edx\n\t"
                                 "2: cmpl %edx, %ecx\n\t"
                                 "jae 3f\n\t"
                                 "subl $4096, %edx\n\t"
                                 "testl %edx, (%edx)\n\t"
                                 "jmp 2b\n\t" PROBE_END);
}

// Walks correctly but forgets to restore ECX.
extern "C" __attribute__((naked)) void ClobbersEcx()
{
    __asm__ volatile(PROBE_START "movl %esp, %eax\n\t"
                                 "andl $-4096, %eax\n\t"
                                 "2: cmpl %eax, %ecx\n\t"
                                 "jae 3f\n\t"
                                 "subl $4096, %eax\n\t"
                                 "testl %eax, (%eax)\n\t"
                                 "jmp 2b\n\t"
                                 "3:\n\t"
                                 "movl   %ecx, %eax\n\t"
                                 "addl   $4, %esp\n\t"
                                 "xchgl  %eax, %esp\n\t"
                                 "movl   (%eax), %eax\n\t"
                                 "movl   %eax, (%esp)\n\t"
                                 "ret");
}

// Walks one page past the frame, committing stack nothing uses.
extern "C" __attribute__((naked)) void OnePageTooFar()
{
    __asm__ volatile(PROBE_START "movl %esp, %eax\n\t"
                                 "andl $-4096, %eax\n\t"
                                 "2: cmpl %eax, %ecx\n\t"
                                 "jae 4f\n\t"
                                 "subl $4096, %eax\n\t"
                                 "testl %eax, (%eax)\n\t"
                                 "jmp 2b\n\t"
                                 "4: subl $4096, %eax\n\t"
                                 "testl %eax, (%eax)\n\t" PROBE_END);
}

// --- the cases ------------------------------------------------------------------------------

enum Fault : u32 {
    OUT_OF_ORDER = 1,  // a page below the guard touched: a gap, or not top-down
    NOT_COMMITTED = 2, // the new frame reaches below the committed pages
    OVERREACH = 4,     // pages committed below the frame
    WRONG_ESP = 8,     // ESP not lowered by exactly EAX
    REGISTERS = 16,    // ECX or EDX changed
};

static const char *const FAULT_NAMES[] = {"touched out of order", "frame not committed",
                                          "committed below the frame", "ESP not lowered by EAX",
                                          "ECX or EDX changed"};

struct Probe {
    const char *name;
    void (*function)();
    u32 expected; // the faults this probe must show in some case; 0 for the real one
};

static const Probe PROBES[] = {
    {"_chkstk", &_chkstk, 0},
    {"broken: skips every other page", &SkipsEveryOtherPage, OUT_OF_ORDER},
    {"broken: walks bottom-up", &WalksBottomUp, OUT_OF_ORDER},
    {"broken: walks no pages", &NeverWalks, OUT_OF_ORDER},
    {"broken: only lowers ESP", &OnlyLowersEsp, NOT_COMMITTED},
    {"broken: ESP one word too low", &OneWordTooLow, WRONG_ESP},
    {"broken: clobbers EDX", &ClobbersEdx, REGISTERS},
    {"broken: clobbers ECX", &ClobbersEcx, REGISTERS},
    {"broken: one page too far", &OnePageTooFar, OVERREACH},
};

// Frame sizes around page boundaries, and the two large frames of the program (64 KiB
// buffers, the 128 KiB commit exceeded).
static const u32 SIZES[] = {0, 4, 100, 4092, 4095, 4096, 4097, 8188, 8192, 12289, 65536,
                            131072 + 4, 131072 + 8192 + 3};
// Where ESP sits within its page at the call: the probe's walk starts from there.
static const u32 OFFSETS[] = {0, 4, 8, 12, 16, 2048, 4088, 4092};
// Committed pages below the one ESP uses at the call: none, so the guard is right below, or
// some already committed by earlier, deeper calls.
static const u32 SPARE_PAGES[] = {0, 1, 3};

// Runs one probe with one frame size and stack position; returns the faults seen.
static u32 RunCase(const Probe &probe, u32 size, u32 offset, u32 spare)
{
    const u32 top = region + REGION;
    const u32 before = top - 4 * PAGE + offset;
    // The call pushes the return address and the probe its ECX: both in committed pages.
    const u32 lowest = ((before - 8) & -PAGE) - spare * PAGE;
    Protect(region, top, PROT_NONE);
    Protect(lowest, top, PROT_RW);
    committed = lowest;
    guard = lowest - PAGE;
    outOfOrder = 0;

    callProbe = probe.function;
    callStack = before;
    callSize = size;
    callEcx = 0x1cc1cc1c ^ size;
    callEdx = 0xd0d0d0d0 ^ offset;
    CallProbe();

    // The return address is parked at the new ESP - 4 before the final ret.
    const u32 needed = (before - size - 4) & -PAGE;
    const u32 wanted = needed < lowest ? needed : lowest;
    u32 faults = 0;
    if (outOfOrder)
        faults |= OUT_OF_ORDER;
    if (committed > wanted)
        faults |= NOT_COMMITTED;
    if (committed < wanted && !outOfOrder)
        faults |= OVERREACH;
    if (espBefore != before || espAfter != before - size)
        faults |= WRONG_ESP;
    if (ecxAfter != callEcx || edxAfter != callEdx)
        faults |= REGISTERS;

    if (faults && !probe.expected) {
        Put("FAIL  ");
        Put(probe.name);
        Put(": EAX ");
        PutDec(size);
        Put(", ESP ");
        PutHex(before);
        Put(" with ");
        PutDec(spare);
        Put(" spare pages:");
        for (u32 i = 0; i < 5; ++i)
            if (faults & (1u << i)) {
                Put(" ");
                Put(FAULT_NAMES[i]);
                Put(";");
            }
        Put(" ESP after ");
        PutHex(espAfter);
        Put(" (want ");
        PutHex(before - size);
        Put("), lowest committed ");
        PutHex(committed);
        Put(" (want ");
        PutHex(wanted);
        Put(")");
        if (outOfOrder) {
            Put(", first stray touch ");
            PutHex(firstStray);
        }
        Put("\n");
    }
    return faults;
}

extern "C" int TestMain()
{
    InstallGuardHandler();
    u32 mmapArgs[6] = {0, REGION, PROT_NONE, MAP_PRIVATE_ANONYMOUS, (u32)-1, 0};
    region = (u32)Syscall(SYS_old_mmap, (u32)mmapArgs);
    if (region > (u32)-4096) {
        Put("cannot map the stack region\n");
        return 2;
    }

    int failed = 0;
    for (const Probe &probe : PROBES) {
        u32 cases = 0, seen = 0, failing = 0;
        for (u32 size : SIZES)
            for (u32 offset : OFFSETS)
                for (u32 spare : SPARE_PAGES) {
                    u32 faults = RunCase(probe, size, offset, spare);
                    ++cases;
                    seen |= faults;
                    failing += faults != 0;
                }
        bool ok = probe.expected ? (seen & probe.expected) != 0 : seen == 0;
        Put(ok ? "ok    " : "FAIL  ");
        Put(probe.name);
        if (!probe.expected) {
            Put(": ");
            PutDec(cases);
            Put(" cases; pages committed top-down without a gap, ESP lowered by exactly EAX, "
                "ECX and EDX kept\n");
        } else {
            Put(ok ? ": caught in " : ": NOT caught as ");
            if (ok) {
                PutDec(failing);
                Put(" of ");
                PutDec(cases);
                Put(" cases as");
            }
            for (u32 i = 0; i < 5; ++i)
                if (seen & probe.expected & (1u << i) || (!ok && probe.expected & (1u << i))) {
                    Put(" ");
                    Put(FAULT_NAMES[i]);
                }
            Put("\n");
        }
        failed |= !ok;
    }
    return failed;
}

// The process entry: no C runtime here either. Aligns the stack, runs the cases, exits with
// their status.
extern "C" __attribute__((naked, noreturn)) void _start()
{
    __asm__ volatile("andl   $-16, %esp\n\t"
                     "calll  TestMain\n\t"
                     "movl   %eax, %ebx\n\t"
                     "movl   $252, %eax\n\t"
                     "int    $0x80");
}
