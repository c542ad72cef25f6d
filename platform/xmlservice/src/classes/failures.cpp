#include "classes/failures.h"

#include "xmlservice/msxml.h"

namespace xmlservice {
namespace {

struct FailureEntry {
    Failure failure;
    HRESULT code;
    std::string_view description;
};

constexpr DWORD kErrorFileNotFound = 2;

constexpr FailureEntry kFailures[] = {
    {Failure::NullPointer, E_POINTER, "A required pointer argument is null"},
    {Failure::BadArgument, E_INVALIDARG, "An argument is not valid"},
    {Failure::NoMemory, E_OUTOFMEMORY, "Not enough memory"},
    {Failure::FileNotFound, HRESULT_FROM_WIN32(kErrorFileNotFound), "The file cannot be found"},
    {Failure::FileUnreadable, E_FAIL, "The file cannot be read"},
    {Failure::Refused, E_ACCESSDENIED, "Access refused"},
    {Failure::NotWellFormed, E_NOT_WELL_FORMED, "The document is not well-formed"},
    {Failure::NotReady, E_NOT_READY, "The object is not ready for this call"},
    {Failure::CompileFailed, E_COMPILE_FAILED, "The stylesheet cannot be compiled"},
    {Failure::TransformFailed, E_TRANSFORM_FAILED, "The transformation failed"},
    {Failure::Unexpected, E_FAIL, "An unexpected failure inside the XML service"},
};

const FailureEntry& EntryOf(Failure failure) noexcept {
    for (const FailureEntry& entry : kFailures)
        if (entry.failure == failure) return entry;
    return kFailures[0];
}

}  // namespace

HRESULT CodeOf(Failure failure) noexcept { return EntryOf(failure).code; }

HRESULT Fail(Failure failure, std::string_view description) noexcept {
    const FailureEntry& entry = EntryOf(failure);
    return com::ReportError(entry.code, description.empty() ? entry.description : description);
}

}  // namespace xmlservice
