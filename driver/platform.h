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

#include <new>

#if defined(__MINGW32__)
// What mingw-w64 leaves out that the platform's own compiler and its COM support library give.

// Interface IDs for __uuidof, which mingw's msxml2.h does not attach to its interfaces.
__CRT_UUID_DECL(IXMLDOMDocument, 0x2933BF81, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
__CRT_UUID_DECL(IXMLDOMParseError, 0x3EFAA426, 0x272F, 0x11D2, 0x83, 0x6F, 0x00, 0x00, 0xF8, 0x7A, 0x77, 0x82)
__CRT_UUID_DECL(IXSLTemplate, 0x2933BF93, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
__CRT_UUID_DECL(IXSLProcessor, 0x2933BF92, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

// The narrow-string conversions behind _bstr_t and _variant_t, declared by comutil.h but in no
// library that mingw links. Both go through the ANSI code page. They raise through
// _com_issue_error; should an application's error handler return instead, they return null.
namespace _com_util {

// A new wide string holding `source`; null for null. Raises E_OUTOFMEMORY, or the system's
// error when the text does not convert.
inline BSTR WINAPI ConvertStringToBSTR(const char* source) {
    if (source == nullptr) return nullptr;
    const int length = MultiByteToWideChar(CP_ACP, 0, source, -1, nullptr, 0);
    if (length == 0) {
        _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
        return nullptr;
    }
    // The length counts the terminator, which the string allocates on its own.
    const BSTR converted = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (converted == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
        return nullptr;
    }
    if (MultiByteToWideChar(CP_ACP, 0, source, -1, converted, length) == 0) {
        const DWORD error = GetLastError();
        SysFreeString(converted);
        _com_issue_error(HRESULT_FROM_WIN32(error));
        return nullptr;
    }
    return converted;
}

// A new narrow string, freed with delete[], holding `source`; null for null. Raises
// E_OUTOFMEMORY, or the system's error when the text does not convert.
inline char* WINAPI ConvertBSTRToString(BSTR source) {
    if (source == nullptr) return nullptr;
    // The string's own length with its terminator: a wide string may hold zero characters.
    const int length = static_cast<int>(SysStringLen(source)) + 1;
    const int size = WideCharToMultiByte(CP_ACP, 0, source, length, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
        return nullptr;
    }
    char* const converted = new (std::nothrow) char[static_cast<std::size_t>(size)];
    if (converted == nullptr) {
        _com_issue_error(E_OUTOFMEMORY);
        return nullptr;
    }
    if (WideCharToMultiByte(CP_ACP, 0, source, length, converted, size, nullptr, nullptr) == 0) {
        const DWORD error = GetLastError();
        delete[] converted;
        _com_issue_error(HRESULT_FROM_WIN32(error));
        return nullptr;
    }
    return converted;
}

}  // namespace _com_util

// Raises `_com_error` with `result`, and with the thread's error information only when `object`
// says through ISupportErrorInfo that it sets that information for `iid`. Declared by comdef.h
// but in no library that mingw links.
inline void WINAPI _com_issue_errorex(HRESULT result, IUnknown* object, REFIID iid) {
    IErrorInfo* info = nullptr;
    ISupportErrorInfo* support = nullptr;
    if (object != nullptr &&
        SUCCEEDED(object->QueryInterface(__uuidof(ISupportErrorInfo), reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
        const HRESULT supported = support->InterfaceSupportsErrorInfo(iid);
        support->Release();
        if (supported == S_OK) {
            IErrorInfo* current = nullptr;
            if (GetErrorInfo(0, &current) == S_OK) {
                info = current;
            } else if (current != nullptr) {
                current->Release();
            }
        }
    }
    // Raised the way _com_issue_error raises, through the handler an application may set; the
    // error takes over the reference GetErrorInfo handed out.
    __mingw_com_error_handler(result, info);
}
#endif  // __MINGW32__

// Smart pointers for the interfaces the driver holds. comdef.h declares some of them only for
// interfaces declared before it, mingw's none at all; repeating a typedef of the same type is
// harmless where one exists.
_COM_SMARTPTR_TYPEDEF(IXMLDOMDocument, __uuidof(IXMLDOMDocument));
_COM_SMARTPTR_TYPEDEF(IXMLDOMParseError, __uuidof(IXMLDOMParseError));
_COM_SMARTPTR_TYPEDEF(IXSLTemplate, __uuidof(IXSLTemplate));
_COM_SMARTPTR_TYPEDEF(IXSLProcessor, __uuidof(IXSLProcessor));
_COM_SMARTPTR_TYPEDEF(IStream, __uuidof(IStream));
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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

// Makes a write to a pipe whose reader has gone fail with an error, as it does on Windows, rather
// than end the process with SIGPIPE.
inline void IgnoreBrokenPipes() noexcept {
#if !defined(_WIN32)
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
}

// Puts the null device on each standard descriptor that a caller left closed: a new file gets
// the lowest free number, and one that took the standard output's would receive what is meant
// for the console. Windows is left as it is.
inline void KeepStandardDescriptorsOpen() noexcept {
#if !defined(_WIN32)
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened < 0 || opened == descriptor) continue;
        (void)dup2(opened, descriptor);
        (void)close(opened);
    }
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
