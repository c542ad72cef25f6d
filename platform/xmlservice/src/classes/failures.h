// The service's kinds of failure, each with its result code and default description.
#pragma once

#include "com/com.h"

#include <string_view>

namespace xmlservice {

enum class Failure {
    NullPointer,
    BadArgument,
    NoMemory,
    FileNotFound,
    FileUnreadable,
    Refused,
    NotWellFormed,
    NotReady,
    CompileFailed,
    TransformFailed,
    Unexpected,
};

// The result code of a kind of failure.
HRESULT CodeOf(Failure failure) noexcept;
// Sets the thread's error information to `description` (the kind's default text when empty)
// and returns the kind's result code.
HRESULT Fail(Failure failure, std::string_view description = {}) noexcept;

}  // namespace xmlservice
