#include "engine/large_stack.h"

#include "engine/budget.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace xmlservice {
namespace {

struct Job {
    HRESULT (*work)(void*);
    void* argument;
    HRESULT result = E_FAIL;
    IErrorInfo* errorInfo = nullptr;
};

void RunJob(Job& job) noexcept {
    {
        // Published before the caller goes on, so that it sees every byte the work holds.
        const CountingBatch batch;
        job.result = job.work(job.argument);
    }
    // Error information belongs to a thread; the caller's is the one that counts.
    if (GetErrorInfo(0, &job.errorInfo) != S_OK) job.errorInfo = nullptr;
}

// The inaccessible bottom of each large stack.
constexpr std::size_t kGuardBytes = std::size_t{1} << 20;

std::size_t PageSize() noexcept {
    static const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

// The stack is mapped here rather than by the thread library: reserved without being charged
// against the memory the system commits, and its touched pages given back after each call.
class Stack {
public:
    Stack() noexcept {
        void* mapped = ::mmap(nullptr, kLargeStackBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (mapped == MAP_FAILED) return;
        base_ = mapped;
        // The lowest megabyte stays inaccessible, so an overflow faults instead of writing below:
        // libxml2 and libxslt keep frames of up to 64 KiB on it, which would leap a single page.
        if (::mprotect(base_, kGuardBytes, PROT_NONE) != 0) {
            ::munmap(base_, kLargeStackBytes);
            base_ = nullptr;
        }
    }
    ~Stack() {
        if (base_ != nullptr) ::munmap(base_, kLargeStackBytes);
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    void* Base() const noexcept { return base_; }

    // Gives back the pages below address `end`, which the thread on this stack no longer uses,
    // when a call went deep enough to leave many: a shallow call leaves its few pages for the
    // next, which would otherwise take a fault for each of them again, and spares the other
    // processors the flush of their address caches that giving pages back costs.
    void Release(std::uintptr_t end) const noexcept {
        const auto first = reinterpret_cast<std::uintptr_t>(base_) + kGuardBytes;
        const std::uintptr_t last = end / PageSize() * PageSize();
        if (base_ == nullptr || last <= first) return;
        if (!Touched(last > first + kKeptBytes ? last - kKeptBytes : first)) return;
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
        const std::uintptr_t start = address > kWindow ? (address - kWindow) / PageSize() * PageSize() : 0;
        // One entry per page; pages are at least 4 KiB.
        unsigned char resident[kWindow / 4096] = {};
        if (::mincore(reinterpret_cast<void*>(start), kWindow, resident) != 0) return true;
        for (const unsigned char page : resident)
            if ((page & 1) != 0) return true;
        return false;
    }

    void* base_ = nullptr;
};

thread_local bool tOnWorker = false;

// A thread on a large stack that runs the calls handed to it, one at a time. One that is idle
// is kept for the next call (see Idle), so that a run of calls does not start a thread, and
// set up and tear down the allocator's state for it, every time.
class Worker {
public:
    // A new worker; null, with the errno value in `error`, when none can be started.
    static Worker* Start(int& error) noexcept {
        auto* worker = new (std::nothrow) Worker;
        if (worker == nullptr) {
            error = ENOMEM;
            return nullptr;
        }
        if (worker->stack_.Base() == nullptr) {
            error = errno != 0 ? errno : ENOMEM;
            delete worker;
            return nullptr;
        }
        pthread_attr_t attributes;
        error = ::pthread_attr_init(&attributes);
        if (error == 0) {
            error = ::pthread_attr_setstack(&attributes, worker->stack_.Base(), kLargeStackBytes);
            if (error == 0) error = ::pthread_create(&worker->thread_, &attributes, Loop, worker);
            ::pthread_attr_destroy(&attributes);
        }
        if (error != 0) {
            delete worker;
            return nullptr;
        }
        return worker;
    }

    // Runs `job` on the worker's thread and waits for it.
    void Run(Job& job) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = &job;
        finished_ = false;
        changed_.notify_all();
        changed_.wait(lock, [this] { return finished_; });
    }

    // Ends the thread and frees the worker.
    void Stop() noexcept {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
            changed_.notify_all();
        }
        ::pthread_join(thread_, nullptr);
        delete this;
    }

private:
    Worker() noexcept = default;
    ~Worker() = default;

    static void* Loop(void* opaque) noexcept {
        auto* worker = static_cast<Worker*>(opaque);
        tOnWorker = true;
        std::unique_lock<std::mutex> lock(worker->mutex_);
        for (;;) {
            worker->changed_.wait(lock, [worker] { return worker->job_ != nullptr || worker->quit_; });
            if (worker->job_ == nullptr) break;
            Job* job = worker->job_;
            lock.unlock();
            RunJob(*job);
            // The pages a deep call touched go back now; what this loop and the waiting below
            // need lies within the 64 KiB under this frame.
            const char here = 0;
            worker->stack_.Release(reinterpret_cast<std::uintptr_t>(&here) - 64 * 1024);
            lock.lock();
            worker->job_ = nullptr;
            worker->finished_ = true;
            worker->changed_.notify_all();
        }
        return nullptr;
    }

    Stack stack_;
    pthread_t thread_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    Job* job_ = nullptr;
    bool finished_ = false;
    bool quit_ = false;
};

// The worker kept for the next call. A process ends it at exit, so that its thread's state is
// given back like any other's; a child of fork has no such thread, so it forgets the parent's
// and starts one of its own when it needs one.
std::mutex gIdleMutex;
Worker* gIdle = nullptr;

void StopIdleWorker() {
    Worker* idle = nullptr;
    {
        const std::lock_guard<std::mutex> lock(gIdleMutex);
        idle = std::exchange(gIdle, nullptr);
    }
    if (idle != nullptr) idle->Stop();
}

// Stops the idle worker at exit, and makes a child of fork drop the parent's, whose thread it
// does not have.
void ArrangeIdleWorkerEndings() {
    static const bool registered = [] {
        std::atexit(StopIdleWorker);
        ::pthread_atfork([] { gIdleMutex.lock(); }, [] { gIdleMutex.unlock(); },
                         [] {
                             gIdle = nullptr;
                             gIdleMutex.unlock();
                         });
        return true;
    }();
    (void)registered;
}

Worker* TakeWorker(int& error) noexcept {
    // A call made from work already on a large stack gets a stack of its own, as any call does.
    if (!tOnWorker) {
        const std::lock_guard<std::mutex> lock(gIdleMutex);
        if (Worker* idle = std::exchange(gIdle, nullptr)) return idle;
    }
    return Worker::Start(error);
}

void PutBack(Worker* worker) noexcept {
    if (!tOnWorker) {
        ArrangeIdleWorkerEndings();
        const std::lock_guard<std::mutex> lock(gIdleMutex);
        if (gIdle == nullptr) {
            gIdle = worker;
            return;
        }
    }
    worker->Stop();
}

HRESULT CannotStart(int error) noexcept {
    try {
        return com::ReportError(E_OUTOFMEMORY, "No thread with a stack of " + std::to_string(kLargeStackBytes >> 20) +
                                           " MiB can be started for the XML work: " + std::strerror(error));
    } catch (...) {
        return com::ReportError(E_OUTOFMEMORY, "Not enough memory");
    }
}

}  // namespace

HRESULT RunOnLargeStack(HRESULT (*work)(void*), void* argument) noexcept {
    int error = 0;
    Worker* worker = TakeWorker(error);
    if (worker == nullptr) return CannotStart(error);
    Job job{work, argument};
    worker->Run(job);
    PutBack(worker);
    if (job.errorInfo != nullptr) {
        SetErrorInfo(0, job.errorInfo);
        job.errorInfo->Release();
    }
    return job.result;
}

bool TryOnLargeStackThread(void (*work)(void*), void* argument) noexcept {
    if (tOnWorker) return false;
    int error = 0;
    Worker* worker = TakeWorker(error);
    if (worker == nullptr) return false;
    struct Call {
        void (*work)(void*);
        void* argument;
    } call{work, argument};
    Job job{[](void* opaque) noexcept -> HRESULT {
                auto* pending = static_cast<Call*>(opaque);
                pending->work(pending->argument);
                return S_OK;
            },
            &call};
    worker->Run(job);
    PutBack(worker);
    if (job.errorInfo != nullptr) job.errorInfo->Release();
    return true;
}

}  // namespace xmlservice
