#include "test_objects.h"

namespace {

using HolderTest = RuntimeTest;

TEST_F(HolderTest, CallAccessThroughAnEmptyHolderRaisesEPointerWithoutErrorInformation) {
    com::ReportError(E_FAIL, "left over by an earlier call");
    ITestWidgetPtr empty;
    try {
        (void)empty->Value();
        FAIL() << "no error raised";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_POINTER);
        EXPECT_EQ(error.ErrorInfo(), nullptr);
        EXPECT_EQ(static_cast<const char*>(error.Description()), nullptr);
    }
}

TEST_F(HolderTest, ExplicitReleaseEmptiesTheHolderAndRaisesWhenAlreadyEmpty) {
    auto* widget = new Widget;
    ITestWidgetPtr holder(widget);
    EXPECT_EQ(widget->References(), 2u);
    widget->Release();
    holder.Release();
    EXPECT_EQ(holder.GetInterfacePtr(), nullptr);
    try {
        holder.Release();
        FAIL() << "no error raised";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_POINTER);
        EXPECT_EQ(error.ErrorInfo(), nullptr);
    }
}

TEST_F(HolderTest, AssignmentAddsAReferenceThenReleasesThePrevious) {
    auto* first = new Widget(1);
    auto* second = new Widget(2);
    {
        ITestWidgetPtr holder(first);
        EXPECT_EQ(first->References(), 2u);
        holder = second;
        EXPECT_EQ(first->References(), 1u);
        EXPECT_EQ(second->References(), 2u);
        holder = second;  // the object already held
        EXPECT_EQ(second->References(), 2u);
        ITestWidgetPtr& same = holder;
        holder = same;  // self-assignment
        EXPECT_EQ(second->References(), 2u);
        ITestWidgetPtr copy(holder);
        EXPECT_EQ(second->References(), 3u);
        ITestWidgetPtr moved(std::move(copy));
        EXPECT_EQ(second->References(), 3u);
        EXPECT_EQ(copy.GetInterfacePtr(), nullptr);
        ITestWidgetPtr other(first);
        EXPECT_EQ(first->References(), 2u);
        other = std::move(moved);  // releases `first`, takes over the reference to `second`
        EXPECT_EQ(first->References(), 1u);
        EXPECT_EQ(second->References(), 3u);
        EXPECT_EQ(moved.GetInterfacePtr(), nullptr);
        ITestWidgetPtr& alias = other;
        other = std::move(alias);  // self-move keeps the object
        EXPECT_EQ(second->References(), 3u);
        EXPECT_EQ(holder->Value(), 2);
    }
    EXPECT_EQ(first->References(), 1u);
    EXPECT_EQ(second->References(), 1u);
    first->Release();
    second->Release();
}

TEST_F(HolderTest, PlainReadAddsNoReferenceAndDestructionOfAnEmptyHolderDoesNothing) {
    auto* widget = new Widget;
    {
        ITestWidgetPtr holder(widget, false);
        ITestWidget* read = holder;
        EXPECT_EQ(read, widget);
        EXPECT_EQ(widget->References(), 1u);
        widget->AddRef();
    }
    EXPECT_EQ(widget->References(), 1u);
    { ITestWidgetPtr empty; }
    widget->Release();
}

TEST_F(HolderTest, AVariantOfAnObjectHoldsItsOwnReference) {
    auto* widget = new Widget;
    {
        _variant_t variant(static_cast<IUnknown*>(widget));
        EXPECT_EQ(variant.vt, VT_UNKNOWN);
        EXPECT_EQ(widget->References(), 2u);
        _variant_t copy(variant);
        EXPECT_EQ(widget->References(), 3u);
        VARIANT plain;
        VariantInit(&plain);
        EXPECT_EQ(VariantCopy(&plain, &variant), S_OK);
        EXPECT_EQ(widget->References(), 4u);
        EXPECT_EQ(VariantClear(&plain), S_OK);
        EXPECT_EQ(plain.vt, VT_EMPTY);
    }
    EXPECT_EQ(widget->References(), 1u);
    widget->Release();
}

}  // namespace
