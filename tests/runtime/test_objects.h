// Small objects for exercising the runtime: a widget interface, a widget, and a class factory
// that misbehaves on request.
#pragma once

#include "com/comdef.h"

#include <gtest/gtest.h>

struct ITestWidget : IUnknown {
    using base_interface = IUnknown;
    virtual int Value() noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(ITestWidget, 0x5E1F7A10, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66)
using ITestWidgetPtr = _com_ptr_t<ITestWidget>;

inline constexpr CLSID kWidgetClass{0x5E1F7A11, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class Widget final : public com::Object<ITestWidget> {
public:
    explicit Widget(int value = 0) noexcept : value_(value) {}
    int Value() noexcept override { return value_; }
    // The number of references, read by adding and dropping one.
    ULONG References() noexcept {
        AddRef();
        return Release();
    }

private:
    int value_;
};

// Creates widgets, or fails the way a test asks.
class WidgetFactory final : public com::Object<IClassFactory> {
public:
    explicit WidgetFactory(HRESULT creationResult = S_OK, int value = 1) noexcept
        : creationResult_(creationResult), value_(value) {}

    HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) noexcept override {
        requested_ = iid;
        *object = nullptr;
        if (FAILED(creationResult_)) return creationResult_;
        auto* widget = new Widget(value_);
        const HRESULT result = widget->QueryInterface(iid, object);
        widget->Release();
        return result;
    }
    HRESULT LockServer(BOOL) noexcept override { return S_OK; }

    // The interface the last creation asked for.
    IID requested_{};

private:
    HRESULT creationResult_;
    int value_;
};

// Checks that a test leaves no object of the runtime alive, and keeps the runtime initialised.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart_ = com::LiveObjectCount();
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override {
        IErrorInfo* left = nullptr;
        if (GetErrorInfo(0, &left) == S_OK) left->Release();
        CoUninitialize();
        EXPECT_EQ(com::LiveObjectCount(), liveAtStart_) << "objects left alive";
    }

private:
    long liveAtStart_ = 0;
};
