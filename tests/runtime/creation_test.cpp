#include "test_objects.h"

#include <functional>
#include <optional>
#include <thread>

namespace {

using CreationTest = RuntimeTest;

// Registers `factory` for kWidgetClass while alive.
class Registration {
public:
    Registration(IClassFactory* factory, REFCLSID clsid = kWidgetClass) {
        EXPECT_EQ(CoRegisterClassObject(clsid, factory, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &cookie_), S_OK);
    }
    ~Registration() { EXPECT_EQ(CoRevokeClassObject(cookie_), S_OK); }

private:
    DWORD cookie_ = 0;
};

// The raised code (nullopt when nothing was raised) and whether the holder was filled.
struct CreationOutcome {
    std::optional<HRESULT> raised;
    bool raisedWithErrorInformation = false;
    bool filled = false;
};

template <class Interface>
CreationOutcome CreateThroughHolder(DWORD context) {
    CreationOutcome outcome;
    try {
        _com_ptr_t<Interface> holder(kWidgetClass, nullptr, context);
        outcome.filled = holder.GetInterfacePtr() != nullptr;
    } catch (const _com_error& error) {
        outcome.raised = error.Error();
        IErrorInfo* info = error.ErrorInfo();
        outcome.raisedWithErrorInformation = info != nullptr;
        if (info != nullptr) info->Release();
    }
    return outcome;
}

struct CreationCase {
    const char* name;
    DWORD context;
    HRESULT factoryResult;
    std::function<CreationOutcome(DWORD)> create;
    std::optional<HRESULT> expectedRaise;
    bool expectedFilled;
    IID expectedRequest;
};

TEST_F(CreationTest, ClassContextsDecideHowTheObjectIsAskedFor) {
    const CreationCase cases[] = {
        {"local server bit: IUnknown, run, then the interface", 7, S_OK, CreateThroughHolder<ITestWidget>,
         std::nullopt, true, __uuidof(IUnknown)},
        {"remote server bit alone", CLSCTX_REMOTE_SERVER, S_OK, CreateThroughHolder<ITestWidget>, std::nullopt, true,
         __uuidof(IUnknown)},
        {"in-process only: the interface directly", CLSCTX_INPROC_SERVER, S_OK, CreateThroughHolder<ITestWidget>,
         std::nullopt, true, __uuidof(ITestWidget)},
        {"E_NOINTERFACE from QueryInterface leaves the holder empty", 7, S_OK,
         CreateThroughHolder<ISupportErrorInfo>, std::nullopt, false, __uuidof(IUnknown)},
        {"E_NOINTERFACE from a direct creation leaves the holder empty", CLSCTX_INPROC_SERVER, S_OK,
         CreateThroughHolder<ISupportErrorInfo>, std::nullopt, false, __uuidof(ISupportErrorInfo)},
        {"another failure raises without error information", 7, E_OUTOFMEMORY, CreateThroughHolder<ITestWidget>,
         E_OUTOFMEMORY, false, __uuidof(IUnknown)},
        {"a failure of a direct creation raises too", CLSCTX_INPROC_SERVER, E_ACCESSDENIED,
         CreateThroughHolder<ITestWidget>, E_ACCESSDENIED, false, __uuidof(ITestWidget)},
    };
    for (const CreationCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto* factory = new WidgetFactory(c.factoryResult);
        {
            Registration registration(factory);
            // Error information pending on the thread must not leak into a creation error.
            com::ReportError(E_FAIL, "unrelated");
            const CreationOutcome outcome = c.create(c.context);
            EXPECT_EQ(outcome.raised, c.expectedRaise);
            EXPECT_FALSE(outcome.raisedWithErrorInformation);
            EXPECT_EQ(outcome.filled, c.expectedFilled);
            EXPECT_TRUE(factory->requested_ == c.expectedRequest);
        }
        factory->Release();
    }
}

TEST_F(CreationTest, UnknownClassRaisesClassNotRegistered) {
    const CreationOutcome outcome = CreateThroughHolder<ITestWidget>(7);
    EXPECT_EQ(outcome.raised, REGDB_E_CLASSNOTREG);
}

TEST_F(CreationTest, ACreationWithoutAnyServerContextIsAnInvalidArgument) {
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kWidgetClass, nullptr, 0, __uuidof(IUnknown), &object), E_INVALIDARG);
    EXPECT_EQ(object, nullptr);
}

TEST_F(CreationTest, CreationBeforeCoInitializeFails) {
    HRESULT result = S_OK;
    std::thread([&result] {
        void* object = nullptr;
        result = CoCreateInstance(kWidgetClass, nullptr, 7, __uuidof(IUnknown), &object);
    }).join();
    EXPECT_EQ(result, CO_E_NOTINITIALIZED);
}

TEST_F(CreationTest, InitialisationIsCountedPerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    HRESULT first = E_FAIL;
    std::thread([&first] {
        first = CoInitialize(nullptr);
        CoUninitialize();
    }).join();
    EXPECT_EQ(first, S_OK);
}

TEST_F(CreationTest, ARegisteredClassTakesPrecedenceOverABuiltInOneUntilRevoked) {
    static constexpr CLSID kBuiltIn{0x5E1F7A12, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
    static const bool registered = com::RegisterBuiltInClass(kBuiltIn, [](REFIID iid, void** object) noexcept {
        auto* widget = new Widget(100);
        const HRESULT result = widget->QueryInterface(iid, object);
        widget->Release();
        return result;
    });
    ASSERT_TRUE(registered);

    EXPECT_EQ(ITestWidgetPtr(kBuiltIn)->Value(), 100);
    auto* factory = new WidgetFactory(S_OK, 7);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kBuiltIn, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(ITestWidgetPtr(kBuiltIn)->Value(), 7);
    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(ITestWidgetPtr(kBuiltIn)->Value(), 100);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    factory->Release();
}

TEST_F(CreationTest, OleRunAcceptsAnyObject) {
    auto* widget = new Widget;
    EXPECT_EQ(OleRun(widget), S_OK);
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
    widget->Release();
}

}  // namespace
