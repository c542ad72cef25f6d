#include "test_objects.h"

#include <optional>
#include <string>

namespace {

using ErrorInfoTest = RuntimeTest;

// A widget that answers ISupportErrorInfo for ITestWidget with a chosen code.
class SupportingWidget final : public com::Object<ITestWidget, ISupportErrorInfo> {
public:
    explicit SupportingWidget(HRESULT answer) noexcept : answer_(answer) {}
    int Value() noexcept override { return 0; }
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(ITestWidget) ? answer_ : S_FALSE;
    }

private:
    HRESULT answer_;
};

// What _com_issue_errorex raised: its code and description (nullopt for none).
struct Raised {
    HRESULT code = S_OK;
    std::optional<std::string> description;
};

Raised Raise(IUnknown* object, REFIID iid) {
    try {
        _com_issue_errorex(E_FAIL, object, iid);
    } catch (const _com_error& error) {
        Raised raised{error.Error(), std::nullopt};
        const _bstr_t description = error.Description();
        if (static_cast<const char*>(description) != nullptr) raised.description = static_cast<const char*>(description);
        return raised;
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

TEST_F(ErrorInfoTest, ErrorInformationIsTakenOnlyOnAnExactSOk) {
    struct Case {
        const char* name;
        bool supportsErrorInfo;
        HRESULT answer;
        bool pending;
        IID callInterface;
        bool attached;
    };
    const Case cases[] = {
        {"supported and pending", true, S_OK, true, __uuidof(ITestWidget), true},
        {"answer S_FALSE", true, S_FALSE, true, __uuidof(ITestWidget), false},
        {"answer is a positive code other than S_OK", true, 2, true, __uuidof(ITestWidget), false},
        {"answer is a failure", true, E_NOTIMPL, true, __uuidof(ITestWidget), false},
        {"not supported for the interface of the call", true, S_OK, true, __uuidof(IUnknown), false},
        {"object without ISupportErrorInfo", false, S_OK, true, __uuidof(ITestWidget), false},
        {"supported but nothing pending", true, S_OK, false, __uuidof(ITestWidget), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IUnknown* object = c.supportsErrorInfo ? static_cast<ITestWidget*>(new SupportingWidget(c.answer))
                                               : static_cast<ITestWidget*>(new Widget);
        SetErrorInfo(0, nullptr);
        if (c.pending) com::ReportError(E_FAIL, "Lost the plot (book.xml, line 2, column 5)");
        const Raised raised = Raise(object, c.callInterface);
        EXPECT_EQ(raised.code, E_FAIL);
        if (c.attached)
            EXPECT_EQ(raised.description, "Lost the plot (book.xml, line 2, column 5)");
        else
            EXPECT_EQ(raised.description, std::nullopt);
        object->Release();
    }
}

TEST_F(ErrorInfoTest, GetErrorInfoHandsTheInformationOverAndClearsIt) {
    IErrorInfo* info = nullptr;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);

    EXPECT_EQ(com::ReportError(E_INVALIDARG, "naïve café"), E_INVALIDARG);
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR description = nullptr;
    ASSERT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(std::u16string(description, SysStringLen(description)), u"naïve café");
    SysFreeString(description);
    info->Release();

    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

TEST_F(ErrorInfoTest, CreatedErrorInformationKeepsWhatWasSet) {
    ICreateErrorInfoPtr created;
    ASSERT_EQ(CreateErrorInfo(&created), S_OK);
    std::u16string description = u"Disk on fire";
    std::u16string source = u"Tests";
    created->SetDescription(description.data());
    created->SetSource(source.data());
    created->SetHelpContext(42);
    IErrorInfoPtr info;
    ASSERT_EQ(created->QueryInterface(&info), S_OK);

    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    try {
        _com_issue_errorex(E_FAIL, nullptr, __uuidof(IUnknown));
    } catch (const _com_error& error) {
        EXPECT_EQ(static_cast<const char*>(error.Description()), nullptr) << "no object, no error information";
    }
    IErrorInfo* taken = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    EXPECT_EQ(taken, info.GetInterfacePtr());
    _com_error error(E_FAIL, taken);  // takes the reference over
    EXPECT_STREQ(static_cast<const char*>(error.Description()), "Disk on fire");
    const _com_error copy = error;
    EXPECT_STREQ(static_cast<const char*>(copy.Description()), "Disk on fire");
    DWORD context = 0;
    EXPECT_EQ(taken->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 42u);
}

}  // namespace
