// The COM-style runtime: result codes, GUIDs, IUnknown, object creation, wide strings,
// variants, error information, global memory and memory streams.
//
// The names and shapes are the ones the platform publishes, so code written against the
// platform compiles against this runtime unchanged. Wide strings are UTF-16 (char16_t);
// the narrow code page is UTF-8.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------
// Basic types

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using LPDWORD = DWORD*;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using UINT = unsigned int;
using BOOL = int;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using SIZE_T = std::size_t;
using LPVOID = void*;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A wide string: UTF-16 code units, NUL-terminated, with its byte length stored in the four
// bytes in front of the first unit. A null BSTR is the empty string.
using BSTR = OLECHAR*;
using VARIANT_BOOL = std::int16_t;
using VARTYPE = std::uint16_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// ---------------------------------------------------------------------------------------
// Result codes: negative means failure.

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
inline constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
inline constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

inline constexpr DWORD FACILITY_WIN32 = 7;

// A system error code as a result code; 0 stays S_OK.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) noexcept {
    return static_cast<HRESULT>(error) <= 0
               ? static_cast<HRESULT>(error)
               : static_cast<HRESULT>((error & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
constexpr bool SUCCEEDED(HRESULT hr) noexcept { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) noexcept { return hr < 0; }

// The calling thread's last system error, as set by the string conversions.
DWORD GetLastError() noexcept;
void SetLastError(DWORD error) noexcept;

// ---------------------------------------------------------------------------------------
// GUIDs, and the interface ID that each interface type carries.

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) noexcept { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return a == b; }

namespace com {
// Specialised for every interface (COM_DECLARE_INTERFACE_ID); an interface without one does
// not compile where its ID is asked for.
template <class Interface>
struct InterfaceId;
}  // namespace com

#define COM_DECLARE_INTERFACE_ID(Interface, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    template <>                                                                        \
    struct com::InterfaceId<Interface> {                                               \
        static constexpr IID value{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};       \
    };

// The interface ID of an interface type, as the platform's compilers spell it.
#define __uuidof(Interface) (::com::InterfaceId<Interface>::value)

// ---------------------------------------------------------------------------------------
// IUnknown

struct IUnknown {
    // Hands out another interface of the same object, with a reference; E_NOINTERFACE if absent.
    virtual HRESULT QueryInterface(REFIID iid, void** object) noexcept = 0;
    virtual ULONG AddRef() noexcept = 0;
    // Drops one reference; the object is destroyed with its last reference.
    virtual ULONG Release() noexcept = 0;

    template <class Interface>
    HRESULT QueryInterface(Interface** object) noexcept {
        return QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(object));
    }

protected:
    ~IUnknown() = default;
};
COM_DECLARE_INTERFACE_ID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

struct IClassFactory : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept = 0;
    virtual HRESULT LockServer(BOOL lock) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

// ---------------------------------------------------------------------------------------
// Initialisation and object creation

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
    CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

enum REGCLS : DWORD { REGCLS_SINGLEUSE = 0, REGCLS_MULTIPLEUSE = 1 };

// Initialises the runtime on the calling thread: S_OK the first time, S_FALSE when it already is.
HRESULT CoInitialize(LPVOID reserved) noexcept;
// Balances one successful CoInitialize of the calling thread.
void CoUninitialize() noexcept;
// Creates an object of a class: a class registered by the process first, else a built-in one.
// REGDB_E_CLASSNOTREG for an unknown class, CO_E_NOTINITIALIZED before CoInitialize.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, LPVOID* object) noexcept;
// Puts an object into the running state; objects of this runtime always run.
HRESULT OleRun(IUnknown* object) noexcept;
// Registers a class factory for the process; it takes precedence over a built-in class.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags,
                              LPDWORD cookie) noexcept;
// Withdraws a registration made by CoRegisterClassObject.
HRESULT CoRevokeClassObject(DWORD cookie) noexcept;

// ---------------------------------------------------------------------------------------
// Wide strings

// A new BSTR copied from a NUL-terminated wide string; null for a null argument or no memory.
BSTR SysAllocString(const OLECHAR* text) noexcept;
// A new BSTR of `length` units copied from `text` (left zeroed when `text` is null).
BSTR SysAllocStringLen(const OLECHAR* text, UINT length) noexcept;
// The number of units in a BSTR; 0 for null.
UINT SysStringLen(BSTR text) noexcept;
void SysFreeString(BSTR text) noexcept;

// ---------------------------------------------------------------------------------------
// Variants

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        std::int16_t iVal;
        LONG lVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
    };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* variant) noexcept;
// Frees what the variant owns (its string, its object reference) and leaves it VT_EMPTY.
HRESULT VariantClear(VARIANT* variant) noexcept;
// Clears `destination`, then makes it a deep copy of `source` (a string copied, an object AddRef'd).
HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) noexcept;

// ---------------------------------------------------------------------------------------
// Error information

struct IErrorInfo : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT GetGUID(GUID* guid) noexcept = 0;
    virtual HRESULT GetSource(BSTR* source) noexcept = 0;
    virtual HRESULT GetDescription(BSTR* description) noexcept = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) noexcept = 0;
    virtual HRESULT GetHelpContext(DWORD* helpContext) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19)

struct ICreateErrorInfo : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT SetGUID(REFGUID guid) noexcept = 0;
    virtual HRESULT SetSource(LPOLESTR source) noexcept = 0;
    virtual HRESULT SetDescription(LPOLESTR description) noexcept = 0;
    virtual HRESULT SetHelpFile(LPOLESTR helpFile) noexcept = 0;
    virtual HRESULT SetHelpContext(DWORD helpContext) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(ICreateErrorInfo, 0x22F03340, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1,
                         0x19)

struct ISupportErrorInfo : IUnknown {
    using base_interface = IUnknown;
    // S_OK when the object sets error information for failures of the interface `iid`.
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1,
                         0x19)

// A new, empty error-information object.
HRESULT CreateErrorInfo(ICreateErrorInfo** errorInfo) noexcept;
// Makes `errorInfo` (may be null) the calling thread's current error information.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo) noexcept;
// Hands over the thread's current error information and clears it; S_FALSE when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo) noexcept;

// ---------------------------------------------------------------------------------------
// Global memory

struct GlobalMemoryBlock;
// A movable block of memory; its address is valid between GlobalLock and GlobalUnlock.
using HGLOBAL = GlobalMemoryBlock*;

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// A new block of `bytes` bytes; null (last error set) when there is no memory.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) noexcept;
// Resizes a block, keeping its content; null when there is no memory or it is locked.
HGLOBAL GlobalReAlloc(HGLOBAL block, SIZE_T bytes, UINT flags) noexcept;
// The block's address, and one more lock on it.
LPVOID GlobalLock(HGLOBAL block) noexcept;
// One lock fewer; TRUE while the block stays locked.
BOOL GlobalUnlock(HGLOBAL block) noexcept;
SIZE_T GlobalSize(HGLOBAL block) noexcept;
// Frees a block: null on success, the block itself on failure.
HGLOBAL GlobalFree(HGLOBAL block) noexcept;

// ---------------------------------------------------------------------------------------
// Streams

struct LARGE_INTEGER {
    LONGLONG QuadPart;
};
struct ULARGE_INTEGER {
    ULONGLONG QuadPart;
};

enum STREAM_SEEK : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
enum STATFLAG : DWORD { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1 };
enum STGTY : DWORD { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };

struct STATSTG {
    LPOLESTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
};

struct ISequentialStream : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) noexcept = 0;
    virtual HRESULT Write(const void* buffer, ULONG count, ULONG* written) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77,
                         0x3D)

struct IStream : ISequentialStream {
    using base_interface = ISequentialStream;
    virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) noexcept = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER newSize) noexcept = 0;
    virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                           ULARGE_INTEGER* written) noexcept = 0;
    virtual HRESULT Commit(DWORD flags) noexcept = 0;
    virtual HRESULT Revert() noexcept = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) noexcept = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD lockType) noexcept = 0;
    virtual HRESULT Stat(STATSTG* statistics, DWORD flags) noexcept = 0;
    virtual HRESULT Clone(IStream** clone) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
using LPSTREAM = IStream*;

// A stream over `block`, or over a new empty block when `block` is null. With `deleteOnRelease`
// the block is freed on the stream's final Release.
HRESULT CreateStreamOnHGlobal(HGLOBAL block, BOOL deleteOnRelease, LPSTREAM* stream) noexcept;
// The block under a stream made by CreateStreamOnHGlobal.
HRESULT GetHGlobalFromStream(IStream* stream, HGLOBAL* block) noexcept;

// ---------------------------------------------------------------------------------------
// What the runtime offers to the code that implements objects (the XML service, tests).

namespace com {

// The number of objects derived from com::Object that are alive in the process.
long LiveObjectCount() noexcept;

namespace detail {
void CountObject(int delta) noexcept;

// True when `iid` names `Interface` or one of the interfaces it derives from.
template <class Interface>
bool Implements(REFIID iid) noexcept {
    if (iid == __uuidof(Interface)) return true;
    if constexpr (requires { typename Interface::base_interface; })
        return Implements<typename Interface::base_interface>(iid);
    else
        return false;
}

}  // namespace detail

// Reference counting and QueryInterface for an object that implements `Interfaces`.
// The object starts with one reference, owned by its creator; the last Release deletes it.
template <class... Interfaces>
class Object : public Interfaces... {
public:
    HRESULT QueryInterface(REFIID iid, void** object) noexcept override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid == __uuidof(IUnknown))
            *object = Identity();
        else
            (void)((detail::Implements<Interfaces>(iid) ? (*object = static_cast<Interfaces*>(this), true) : false) ||
                   ...);
        if (*object == nullptr) *object = FindExtraInterface(iid);
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    template <class Interface>
    HRESULT QueryInterface(Interface** object) noexcept {
        return QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(object));
    }
    ULONG AddRef() noexcept override { return ++references_; }
    ULONG Release() noexcept override {
        const ULONG remaining = --references_;
        if (remaining == 0) delete this;
        return remaining;
    }

    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

protected:
    Object() noexcept { detail::CountObject(+1); }
    virtual ~Object() { detail::CountObject(-1); }

    // The IUnknown that stands for the object's identity.
    IUnknown* Identity() noexcept { return static_cast<FirstInterface*>(this); }
    // Interfaces reached other than through the list (none by default).
    virtual void* FindExtraInterface(REFIID) noexcept { return nullptr; }

private:
    template <class First, class...>
    struct FirstOf {
        using type = First;
    };
    using FirstInterface = typename FirstOf<Interfaces...>::type;

    std::atomic<ULONG> references_{1};
};

// Creates an object of type `T` and hands out its interface `iid`; an object that lacks the
// interface goes again at once. E_OUTOFMEMORY when it cannot be allocated.
template <class T>
HRESULT CreateObject(REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    T* created = new (std::nothrow) T();
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
}

// Makes `description` (UTF-8, one line) the thread's error information and returns `code`.
HRESULT ReportError(HRESULT code, std::string_view description) noexcept;

// UTF-8 to UTF-16 and back. On invalid input they return false and set the last error to
// ERROR_NO_UNICODE_TRANSLATION.
bool WideFromNarrow(std::string_view narrow, std::u16string& wide);
bool NarrowFromWide(std::u16string_view wide, std::string& narrow);

// Creates an object of a built-in class, asking for interface `iid`.
using BuiltInClassCreator = HRESULT (*)(REFIID iid, void** object);
// Makes a class known to CoCreateInstance without any registration by the process.
bool RegisterBuiltInClass(REFCLSID clsid, BuiltInClassCreator creator) noexcept;

}  // namespace com
