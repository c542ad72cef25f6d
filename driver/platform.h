// The platform the driver runs on: its COM runtime and XML service. This is the one place where
// the builds differ; everything else in driver/ is the same source on every platform.
#pragma once

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#include <comdef.h>
#include <msxml2.h>
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>

#include "xmlservice/msxml.h"
#endif

// Lets the compiler check the arguments of a printf-style function against its format.
#if defined(__GNUC__)
#define BRENDLE_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define BRENDLE_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// Raises `_com_error` when `result` is a failure of a call to `object` through interface
// `iid`, carrying the thread's error information when the object supports it for `iid`.
inline void CheckCall(HRESULT result, IUnknown* object, REFIID iid) {
    if (FAILED(result)) _com_issue_errorex(result, object, iid);
}

// Leaves `file` writing its bytes unchanged: the driver stores its line ends itself, the same
// on every platform.
inline void SetBinaryMode(std::FILE* file) noexcept {
#if defined(_WIN32)
    (void)_setmode(_fileno(file), _O_BINARY);
#else
    (void)file;
#endif
}

// True when `file` is an interactive terminal.
inline bool IsTerminal(std::FILE* file) noexcept {
#if defined(_WIN32)
    return _isatty(_fileno(file)) != 0;
#else
    return isatty(fileno(file)) != 0;
#endif
}
