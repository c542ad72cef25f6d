#include "com/com.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

std::atomic<long> liveObjects{0};

thread_local unsigned initialisations = 0;

struct RegisteredClass {
    CLSID clsid;
    IClassFactory* factory;  // one reference held by the registry
    DWORD context;
    DWORD cookie;
};

struct BuiltInClass {
    CLSID clsid;
    com::BuiltInClassCreator creator;
};

// The process's classes: those registered at run time, and the built-in ones.
struct ClassRegistry {
    ~ClassRegistry() {
        for (RegisteredClass& left : registered) left.factory->Release();
    }
    std::mutex mutex;
    std::vector<RegisteredClass> registered;
    std::vector<BuiltInClass> builtIn;
    DWORD nextCookie = 1;
};

// Constructed on first use, so built-in classes can be registered from static initialisers.
ClassRegistry& Registry() {
    static ClassRegistry registry;
    return registry;
}

constexpr DWORD kServerContexts = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                  CLSCTX_REMOTE_SERVER;

}  // namespace

namespace com {

long LiveObjectCount() noexcept { return liveObjects.load(); }

namespace detail {
void CountObject(int delta) noexcept { liveObjects += delta; }
}  // namespace detail

bool RegisterBuiltInClass(REFCLSID clsid, BuiltInClassCreator creator) noexcept {
    try {
        ClassRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.builtIn.push_back({clsid, creator});
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace com

HRESULT CoInitialize(LPVOID) noexcept { return initialisations++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() noexcept {
    if (initialisations > 0) --initialisations;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, LPVOID* object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (initialisations == 0) return CO_E_NOTINITIALIZED;
    if ((context & kServerContexts) == 0) return E_INVALIDARG;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;

    IClassFactory* factory = nullptr;
    com::BuiltInClassCreator creator = nullptr;
    {
        ClassRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        // The newest registration wins, and any registration wins over a built-in class.
        for (auto it = registry.registered.rbegin(); it != registry.registered.rend(); ++it) {
            if (it->clsid == clsid && (it->context & context) != 0) {
                factory = it->factory;
                factory->AddRef();
                break;
            }
        }
        if (factory == nullptr) {
            for (const BuiltInClass& builtIn : registry.builtIn)
                if (builtIn.clsid == clsid) creator = builtIn.creator;
        }
    }
    if (factory != nullptr) {
        const HRESULT result = factory->CreateInstance(nullptr, iid, object);
        factory->Release();
        return result;
    }
    if (creator != nullptr) return creator(iid, object);
    return REGDB_E_CLASSNOTREG;
}

HRESULT OleRun(IUnknown* object) noexcept { return object == nullptr ? E_INVALIDARG : S_OK; }

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD, LPDWORD cookie) noexcept {
    if (factory == nullptr || cookie == nullptr) return E_INVALIDARG;
    *cookie = 0;
    if (initialisations == 0) return CO_E_NOTINITIALIZED;
    IClassFactory* classFactory = nullptr;
    const HRESULT result = factory->QueryInterface(&classFactory);
    if (FAILED(result)) return result;
    try {
        ClassRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.registered.push_back({clsid, classFactory, context, registry.nextCookie});
        *cookie = registry.nextCookie++;
        return S_OK;
    } catch (...) {
        classFactory->Release();
        return E_OUTOFMEMORY;
    }
}

HRESULT CoRevokeClassObject(DWORD cookie) noexcept {
    IClassFactory* factory = nullptr;
    {
        ClassRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        for (auto it = registry.registered.begin(); it != registry.registered.end(); ++it) {
            if (it->cookie == cookie) {
                factory = it->factory;
                registry.registered.erase(it);
                break;
            }
        }
    }
    if (factory == nullptr) return E_INVALIDARG;
    factory->Release();  // outside the lock: the factory's destructor may call back in
    return S_OK;
}
