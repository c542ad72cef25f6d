#include "com/com.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

// A movable block: its content is `size` bytes; `capacity` grows geometrically, so a stream
// that grows it in small steps copies each byte a bounded number of times.
struct GlobalMemoryBlock {
    unsigned char* data = nullptr;
    SIZE_T size = 0;
    SIZE_T capacity = 0;
    unsigned locks = 0;
    bool zeroInit = false;
    // A large block is a mapping of its own rather than a block of the C library's heap.
    bool mapped = false;
};

namespace {

// From this capacity on a block is mapped, and grows by remapping: the kernel moves page
// tables instead of bytes, and the old block never lies beside the new one, as it would for a
// moment in realloc of an allocator that copies (a result of hundreds of megabytes would
// otherwise briefly take half as much again).
constexpr SIZE_T kMappedFrom = SIZE_T{1} << 20;

// `bytes` rounded up to whole pages; 0 when that does not fit.
SIZE_T WholePages(SIZE_T bytes) noexcept {
    static const auto page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
    if (bytes > SIZE_MAX - (page - 1)) return 0;
    return (bytes + page - 1) / page * page;
}

bool Resize(GlobalMemoryBlock& block, SIZE_T capacity) noexcept {
    if (capacity < kMappedFrom && !block.mapped) {
        void* grown = std::realloc(block.data, capacity);
        if (grown == nullptr) return false;
        block.data = static_cast<unsigned char*>(grown);
        block.capacity = capacity;
        return true;
    }
    const SIZE_T length = WholePages(capacity);
    if (length == 0) return false;
    void* grown = MAP_FAILED;
    if (block.mapped) {
        grown = mremap(block.data, block.capacity, length, MREMAP_MAYMOVE);
    } else {
        grown = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown != MAP_FAILED) {
            if (block.size > 0) std::memcpy(grown, block.data, block.size);
            std::free(block.data);
        }
    }
    if (grown == MAP_FAILED) return false;
    // A large result fills its block page after page: 2 MiB pages take a fault where 4 KiB
    // pages take five hundred.
    (void)madvise(grown, length, MADV_HUGEPAGE);
    block.data = static_cast<unsigned char*>(grown);
    block.capacity = length;
    block.mapped = true;
    return true;
}

bool Reserve(GlobalMemoryBlock& block, SIZE_T bytes) noexcept {
    if (bytes <= block.capacity) return true;
    SIZE_T capacity = std::max<SIZE_T>(bytes, block.capacity + block.capacity / 2);
    capacity = std::max<SIZE_T>(capacity, 256);
    return Resize(block, capacity) || (capacity > bytes && Resize(block, bytes));
}

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) noexcept {
    auto* block = new (std::nothrow) GlobalMemoryBlock;
    if (block == nullptr || !Reserve(*block, bytes)) {
        delete block;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    block->zeroInit = (flags & GMEM_ZEROINIT) != 0;
    block->size = bytes;
    if (block->zeroInit && bytes > 0) std::memset(block->data, 0, bytes);
    return block;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, SIZE_T bytes, UINT flags) noexcept {
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A locked block must not move.
    if (bytes > block->capacity && block->locks > 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!Reserve(*block, bytes)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bytes > block->size && (block->zeroInit || (flags & GMEM_ZEROINIT) != 0))
        std::memset(block->data + block->size, 0, bytes - block->size);
    block->size = bytes;
    return block;
}

LPVOID GlobalLock(HGLOBAL block) noexcept {
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ++block->locks;
    return block->data;
}

BOOL GlobalUnlock(HGLOBAL block) noexcept {
    if (block == nullptr || block->locks == 0) {
        SetLastError(block == nullptr ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS);
        return FALSE;
    }
    --block->locks;
    if (block->locks == 0) SetLastError(ERROR_SUCCESS);
    return block->locks > 0 ? TRUE : FALSE;
}

SIZE_T GlobalSize(HGLOBAL block) noexcept { return block == nullptr ? 0 : block->size; }

HGLOBAL GlobalFree(HGLOBAL block) noexcept {
    if (block != nullptr) {
        if (block->mapped)
            munmap(block->data, block->capacity);
        else
            std::free(block->data);
        delete block;
    }
    return nullptr;
}

namespace {

// A stream over one global memory block.
class MemoryStream final : public com::Object<IStream> {
public:
    MemoryStream(HGLOBAL block, bool deleteOnRelease) noexcept : block_(block), deleteOnRelease_(deleteOnRelease) {}

    HGLOBAL Block() const noexcept { return block_; }

    HRESULT Read(void* buffer, ULONG count, ULONG* read) noexcept override {
        if (read != nullptr) *read = 0;
        if (buffer == nullptr && count > 0) return STG_E_INVALIDPOINTER;
        const SIZE_T size = GlobalSize(block_);
        const SIZE_T available = position_ < size ? size - position_ : 0;
        const auto copied = static_cast<ULONG>(std::min<SIZE_T>(count, available));
        if (copied > 0) std::memcpy(buffer, block_->data + position_, copied);
        position_ += copied;
        if (read != nullptr) *read = copied;
        return copied == count ? S_OK : S_FALSE;
    }

    HRESULT Write(const void* buffer, ULONG count, ULONG* written) noexcept override {
        if (written != nullptr) *written = 0;
        if (count == 0) return S_OK;
        if (buffer == nullptr) return STG_E_INVALIDPOINTER;
        const SIZE_T end = position_ + count;
        if (end < position_) return STG_E_MEDIUMFULL;
        const SIZE_T size = GlobalSize(block_);
        if (end > size) {
            if (GlobalReAlloc(block_, end, 0) == nullptr) return STG_E_MEDIUMFULL;
            // A write past the end leaves the skipped bytes zero.
            if (position_ > size) std::memset(block_->data + size, 0, position_ - size);
        }
        std::memcpy(block_->data + position_, buffer, count);
        position_ = end;
        if (written != nullptr) *written = count;
        return S_OK;
    }

    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) noexcept override {
        LONGLONG base = 0;
        switch (origin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = static_cast<LONGLONG>(position_);
                break;
            case STREAM_SEEK_END:
                base = static_cast<LONGLONG>(GlobalSize(block_));
                break;
            default:
                return STG_E_INVALIDFUNCTION;
        }
        // A move past either end of the signed range is refused rather than wrapped around.
        LONGLONG target = 0;
        if (__builtin_add_overflow(base, move.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<SIZE_T>(target);
        if (newPosition != nullptr) newPosition->QuadPart = position_;
        return S_OK;
    }

    HRESULT SetSize(ULARGE_INTEGER newSize) noexcept override {
        if (GlobalReAlloc(block_, static_cast<SIZE_T>(newSize.QuadPart), GMEM_ZEROINIT) == nullptr)
            return STG_E_MEDIUMFULL;
        return S_OK;
    }

    HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                   ULARGE_INTEGER* written) noexcept override {
        if (target == nullptr) return STG_E_INVALIDPOINTER;
        const SIZE_T size = GlobalSize(block_);
        const SIZE_T available = position_ < size ? size - position_ : 0;
        SIZE_T remaining = std::min<SIZE_T>(static_cast<SIZE_T>(count.QuadPart), available);
        ULONGLONG copied = 0;
        HRESULT result = S_OK;
        while (remaining > 0 && SUCCEEDED(result)) {
            const auto piece = static_cast<ULONG>(std::min<SIZE_T>(remaining, 1u << 30));
            ULONG done = 0;
            result = target->Write(block_->data + position_, piece, &done);
            position_ += done;
            copied += done;
            remaining -= done;
            if (done < piece) break;
        }
        if (read != nullptr) read->QuadPart = copied;
        if (written != nullptr) written->QuadPart = copied;
        return result;
    }

    HRESULT Commit(DWORD) noexcept override { return S_OK; }
    HRESULT Revert() noexcept override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override { return STG_E_INVALIDFUNCTION; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override { return STG_E_INVALIDFUNCTION; }

    HRESULT Stat(STATSTG* statistics, DWORD) noexcept override {
        if (statistics == nullptr) return STG_E_INVALIDPOINTER;
        *statistics = STATSTG{};
        statistics->type = STGTY_STREAM;
        statistics->cbSize.QuadPart = GlobalSize(block_);
        return S_OK;
    }

    HRESULT Clone(IStream** clone) noexcept override {
        if (clone != nullptr) *clone = nullptr;
        return E_NOTIMPL;
    }

private:
    ~MemoryStream() override {
        if (deleteOnRelease_) GlobalFree(block_);
    }

    HGLOBAL block_;
    bool deleteOnRelease_;
    SIZE_T position_ = 0;
};

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL block, BOOL deleteOnRelease, LPSTREAM* stream) noexcept {
    if (stream == nullptr) return E_INVALIDARG;
    *stream = nullptr;
    const bool ownBlock = block == nullptr;
    if (ownBlock) {
        block = GlobalAlloc(GMEM_MOVEABLE, 0);
        if (block == nullptr) return E_OUTOFMEMORY;
    }
    auto* created = new (std::nothrow) MemoryStream(block, deleteOnRelease != FALSE);
    if (created == nullptr) {
        if (ownBlock) GlobalFree(block);
        return E_OUTOFMEMORY;
    }
    *stream = created;
    return S_OK;
}

HRESULT GetHGlobalFromStream(IStream* stream, HGLOBAL* block) noexcept {
    if (block == nullptr) return E_INVALIDARG;
    *block = nullptr;
    auto* memoryStream = dynamic_cast<MemoryStream*>(stream);
    if (memoryStream == nullptr) return E_INVALIDARG;
    *block = memoryStream->Block();
    return S_OK;
}
