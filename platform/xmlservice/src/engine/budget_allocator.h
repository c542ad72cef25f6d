// Containers of the service's own whose size follows the input, with their memory taken through
// libxml2's allocator, which the memory budget counts: a run that fills them meets the budget's
// refusal, as one that fills the libraries' trees does.
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace xmlservice {

// The bytes of a block from libxml2's allocator (xmlMalloc); null when there are none. Past the
// budget's margin the allocator has none either.
void* AllocateCounted(std::size_t bytes) noexcept;
// Gives a block of AllocateCounted back (xmlFree).
void FreeCounted(void* block) noexcept;

// A standard allocator over AllocateCounted: std::bad_alloc when no memory is granted.
template <class T>
class BudgetAllocator {
public:
    using value_type = T;
    // The libraries' blocks are aligned to 8 bytes at least.
    static_assert(alignof(T) <= 8, "a counted block is aligned to 8 bytes");

    BudgetAllocator() noexcept = default;
    template <class U>
    BudgetAllocator(const BudgetAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        void* block = AllocateCounted(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { FreeCounted(block); }

    template <class U>
    bool operator==(const BudgetAllocator<U>&) const noexcept {
        return true;
    }
};

using CountedString = std::basic_string<char, std::char_traits<char>, BudgetAllocator<char>>;
template <class T>
using CountedVector = std::vector<T, BudgetAllocator<T>>;
template <class Key, class Value, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
using CountedMap = std::unordered_map<Key, Value, Hash, Equal, BudgetAllocator<std::pair<const Key, Value>>>;
template <class Key, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
using CountedSet = std::unordered_set<Key, Hash, Equal, BudgetAllocator<Key>>;

}  // namespace xmlservice
