#include "engine/large_stack.h"

#include "engine/budget.h"

#include <sys/mman.h>
#if !defined(__x86_64__)
#include <ucontext.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define BRENDLE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRENDLE_ASAN 1
#endif
#endif
#if defined(BRENDLE_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define BRENDLE_KNOWS_VALGRIND 1
#endif

namespace xmlservice {
namespace {

struct Job {
    HRESULT (*work)(void*);
    void* argument;
    HRESULT result = E_FAIL;
};

void RunJob(Job& job) noexcept {
    const CountingBatch batch;
    job.result = job.work(job.argument);
}

// The inaccessible bottom of each large stack.
constexpr std::size_t kGuardBytes = std::size_t{1} << 20;

std::size_t PageSize() noexcept {
    static const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

// A stack mapped by the service: reserved without being charged against the memory the system
// commits, and its touched pages given back after a deep call. The calls run on it on their
// caller's own thread, switched to and back like a coroutine, so that a call costs no thread,
// no handoff between processors, and keeps the caller's thread-local state (error information,
// the heap of the caller's blocks).
class Stack {
public:
    static constexpr std::size_t kUsableBytes = kLargeStackBytes - kGuardBytes;

    Stack() noexcept {
        void* mapped = ::mmap(nullptr, kLargeStackBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (mapped == MAP_FAILED) return;
        // The lowest megabyte stays inaccessible, so an overflow faults instead of writing below:
        // libxml2 and libxslt keep frames of up to 64 KiB on it, which would leap a single page.
        if (::mprotect(mapped, kGuardBytes, PROT_NONE) != 0) {
            ::munmap(mapped, kLargeStackBytes);
            return;
        }
        base_ = static_cast<char*>(mapped);
#if defined(BRENDLE_KNOWS_VALGRIND)
        // Valgrind takes the lowest and the highest addressable byte.
        valgrindId_ = VALGRIND_STACK_REGISTER(Bottom(), Top() - 1);
#endif
    }
    ~Stack() {
        if (base_ == nullptr) return;
#if defined(BRENDLE_KNOWS_VALGRIND)
        VALGRIND_STACK_DEREGISTER(valgrindId_);
#endif
        ::munmap(base_, kLargeStackBytes);
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    char* Base() const noexcept { return base_; }
    // The lowest usable address, above the guard, and the address above the highest.
    char* Bottom() const noexcept { return base_ + kGuardBytes; }
    char* Top() const noexcept { return base_ + kLargeStackBytes; }

    // Gives back the touched pages below the top megabyte when the call that just ended went
    // below it: a shallow call leaves its few pages for the next, which would otherwise take a
    // fault for each of them again, and spares the other processors the flush of their address
    // caches that giving pages back costs.
    void Release() const noexcept {
        const auto first = reinterpret_cast<std::uintptr_t>(Bottom());
        const auto last = reinterpret_cast<std::uintptr_t>(Top()) - kKeptBytes;
        if (!Touched(last)) return;
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }

private:
    // Stack a call may leave in use without its pages being given back.
    static constexpr std::uintptr_t kKeptBytes = std::uintptr_t{1} << 20;

    // Whether the call touched the stack in the 64 KiB below `address`. A call that went deeper
    // has touched it, as its frames, of at most 64 KiB, are written as they are entered; should
    // one be missed, its pages only stay until the next deep call gives them back.
    static bool Touched(std::uintptr_t address) noexcept {
        constexpr std::size_t kWindow = 64 * 1024;
        const std::uintptr_t start = (address - kWindow) / PageSize() * PageSize();
        // One entry per page; pages are at least 4 KiB.
        unsigned char resident[kWindow / 4096] = {};
        if (::mincore(reinterpret_cast<void*>(start), kWindow, resident) != 0) return true;
        for (const unsigned char page : resident)
            if ((page & 1) != 0) return true;
        return false;
    }

    char* base_ = nullptr;
#if defined(BRENDLE_KNOWS_VALGRIND)
    unsigned valgrindId_ = 0;
#endif
};

HRESULT CannotStart(int error) noexcept {
    try {
        return com::ReportError(E_OUTOFMEMORY, "No stack of " + std::to_string(kLargeStackBytes >> 20) +
                                           " MiB can be made for the XML work: " + std::strerror(error));
    } catch (...) {
        return com::ReportError(E_OUTOFMEMORY, "Not enough memory");
    }
}

// Each thread keeps the stack of its last call for its next: a run of calls maps and protects
// one stack, not one each, and threads calling at the same time each have their own. Only the
// address space is kept; a thread's stack is unmapped when the thread ends.
struct IdleStack {
    Stack* stack = nullptr;
    ~IdleStack() { delete stack; }
};
thread_local IdleStack tIdle;

Stack* TakeStack(int& error) noexcept {
    // A call made from work already on a large stack finds none idle and gets one of its own.
    if (Stack* idle = std::exchange(tIdle.stack, nullptr)) return idle;
    errno = 0;
    auto* stack = new (std::nothrow) Stack;
    if (stack != nullptr && stack->Base() != nullptr) return stack;
    error = errno != 0 ? errno : ENOMEM;
    delete stack;
    return nullptr;
}

void PutBack(Stack* stack) noexcept {
    if (tIdle.stack == nullptr)
        tIdle.stack = stack;
    else
        delete stack;
}

// Calls `function(argument)` with the stack pointer at `top` and returns to the caller's stack
// after it. Only the stack pointer changes: the call stays on the caller's thread, costs no
// system call, and a debugger or a sanitizer still walks from its frames to the caller's.
// Elsewhere than on x86-64 the C library's contexts do the same, with a system call or two.
#if defined(__x86_64__)
extern "C" void xmlservice_CallOnStack(void* argument, void (*function)(void*), void* top) noexcept;
asm(R"(
    .text
    .p2align 4
    .globl xmlservice_CallOnStack
    .hidden xmlservice_CallOnStack
    .type xmlservice_CallOnStack, @function
xmlservice_CallOnStack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdx, %rsp
    callq *%rsi
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size xmlservice_CallOnStack, .-xmlservice_CallOnStack
)");
#else
struct ContextCall {
    void (*function)(void*);
    void* argument;
};
thread_local ContextCall* tContextCall = nullptr;

void RunContextCall() { tContextCall->function(tContextCall->argument); }

void xmlservice_CallOnStack(void* argument, void (*function)(void*), void* top) noexcept {
    ContextCall call{function, argument};
    ucontext_t caller{};
    ucontext_t callee{};
    if (::getcontext(&callee) != 0) std::abort();
    callee.uc_stack.ss_sp = static_cast<char*>(top) - Stack::kUsableBytes;
    callee.uc_stack.ss_size = Stack::kUsableBytes;
    callee.uc_link = &caller;
    ::makecontext(&callee, RunContextCall, 0);
    ContextCall* const outer = std::exchange(tContextCall, &call);
    if (::swapcontext(&caller, &callee) != 0) std::abort();
    tContextCall = outer;
}
#endif

// One call on a large stack, and what the sanitizers are told of the switches to it and back.
struct Switch {
    Job* job = nullptr;
#if defined(BRENDLE_ASAN)
    void* callerFakeStack = nullptr;
    const void* callerBottom = nullptr;
    std::size_t callerSize = 0;
#endif
};

// Runs on the large stack. Keeps nothing of its own on it: the sanitizer is told that this
// stack is left before the function returns.
void OnStack(void* opaque) noexcept {
    auto& current = *static_cast<Switch*>(opaque);
#if defined(BRENDLE_ASAN)
    __sanitizer_finish_switch_fiber(nullptr, &current.callerBottom, &current.callerSize);
#endif
    RunJob(*current.job);
#if defined(BRENDLE_ASAN)
    __sanitizer_start_switch_fiber(nullptr, current.callerBottom, current.callerSize);
#endif
}

}  // namespace

HRESULT RunOnLargeStack(HRESULT (*work)(void*), void* argument) noexcept {
    int error = 0;
    Stack* stack = TakeStack(error);
    if (stack == nullptr) return CannotStart(error);
    Job job{work, argument};
    Switch call;
    call.job = &job;
#if defined(BRENDLE_ASAN)
    __sanitizer_start_switch_fiber(&call.callerFakeStack, stack->Bottom(), Stack::kUsableBytes);
#endif
    xmlservice_CallOnStack(&call, OnStack, stack->Top());
#if defined(BRENDLE_ASAN)
    __sanitizer_finish_switch_fiber(call.callerFakeStack, nullptr, nullptr);
#endif
    stack->Release();
    PutBack(stack);
    return job.result;
}

}  // namespace xmlservice
