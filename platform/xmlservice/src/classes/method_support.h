// What every interface method of the service's classes uses: text in and out, names of variant
// types for messages, and the guard that keeps exceptions inside.
#pragma once

#include "classes/failures.h"
#include "engine/large_stack.h"
#include "xmlservice/msxml.h"

#include <new>
#include <string>
#include <string_view>
#include <type_traits>

namespace xmlservice {

// The UTF-8 form of a wide string; false for text that is not valid UTF-16.
bool Utf8FromWide(BSTR text, std::string& utf8);
// Hands `utf8` to the caller as a new BSTR; bytes that are not UTF-8 become U+FFFD.
HRESULT ReturnText(std::string_view utf8, BSTR* out) noexcept;
// "VT_I4 (3)"-style name of a variant type, for messages.
std::string VariantTypeName(VARTYPE type);

// Runs `body`; an exception escaping it (only allocations throw) becomes a failure with error
// information, so none leaves an interface method.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(Failure::NoMemory);
    } catch (...) {
        return Fail(Failure::Unexpected);
    }
}

// Runs `body` as Guarded does, but on a large stack (see RunOnLargeStack).
template <class Body>
HRESULT OnLargeStack(Body&& body) noexcept {
    using Held = std::remove_reference_t<Body>;
    return RunOnLargeStack([](void* held) noexcept { return Guarded(*static_cast<Held*>(held)); }, &body);
}

}  // namespace xmlservice
