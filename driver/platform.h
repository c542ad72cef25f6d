// The platform the driver runs on: its COM runtime and XML service. This is the one place where
// the builds differ; everything else in driver/ is the same source on every platform.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <comdef.h>
#include <msxml2.h>
#else
#include "xmlservice/msxml.h"
#endif

// Raises `_com_error` when `result` is a failure of a call to `object` through interface
// `iid`, carrying the thread's error information when the object supports it for `iid`.
inline void CheckCall(HRESULT result, IUnknown* object, REFIID iid) {
    if (FAILED(result)) _com_issue_errorex(result, object, iid);
}
