#include "large_stack.h"

#include "budget.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace xmlservice {
namespace {

struct Job {
    HRESULT (*work)(void*);
    void* argument;
    HRESULT result = E_FAIL;
    IErrorInfo* errorInfo = nullptr;
};

void* RunJob(void* opaque) noexcept {
    auto* job = static_cast<Job*>(opaque);
    {
        // Published before the caller goes on, so that it sees every byte the work holds.
        const CountingBatch batch;
        job->result = job->work(job->argument);
    }
    // Error information belongs to a thread; the caller's is the one that counts.
    if (GetErrorInfo(0, &job->errorInfo) != S_OK) job->errorInfo = nullptr;
    return nullptr;
}

// The stack is mapped here rather than by the thread library: reserved without being charged
// against the memory the system commits, and unmapped, touched pages and all, after each call.
class Stack {
public:
    Stack() noexcept {
        void* mapped = ::mmap(nullptr, kLargeStackBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (mapped == MAP_FAILED) return;
        base_ = mapped;
        // The lowest page stays inaccessible, so an overflow faults instead of writing below.
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) (void)::mprotect(base_, static_cast<std::size_t>(page), PROT_NONE);
    }
    ~Stack() {
        if (base_ != nullptr) ::munmap(base_, kLargeStackBytes);
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    void* Base() const noexcept { return base_; }

private:
    void* base_ = nullptr;
};

HRESULT CannotStart(int error) noexcept {
    try {
        return Fail(Failure::NoMemory, "No thread with a stack of " + std::to_string(kLargeStackBytes >> 20) +
                                           " MiB can be started for the XML work: " + std::strerror(error));
    } catch (...) {
        return Fail(Failure::NoMemory);
    }
}

}  // namespace

HRESULT RunOnLargeStack(HRESULT (*work)(void*), void* argument) noexcept {
    const Stack stack;
    if (stack.Base() == nullptr) return CannotStart(errno);
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) return CannotStart(error);
    error = ::pthread_attr_setstack(&attributes, stack.Base(), kLargeStackBytes);
    Job job{work, argument};
    pthread_t thread;
    if (error == 0) error = ::pthread_create(&thread, &attributes, RunJob, &job);
    ::pthread_attr_destroy(&attributes);
    if (error != 0) return CannotStart(error);
    ::pthread_join(thread, nullptr);
    if (job.errorInfo != nullptr) {
        SetErrorInfo(0, job.errorInfo);
        job.errorInfo->Release();
    }
    return job.result;
}

}  // namespace xmlservice
