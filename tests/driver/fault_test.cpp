// The run against platform faults that the real service does not produce on demand: classes
// registered in the process stand in for the service's, and each run goes in a child process,
// since a failed guarded stage ends the process.
#include "allocation_faults.h"
#include "deliverable.h"
#include "platform.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr const char* kBanner = kBrendle4.banner;

// A class factory that makes its objects with `create`.
class Factory final : public com::Object<IClassFactory> {
public:
    explicit Factory(std::function<HRESULT(REFIID, void**)> create) : create_(std::move(create)) {}
    HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) noexcept override { return create_(iid, object); }
    HRESULT LockServer(BOOL) noexcept override { return S_OK; }

private:
    std::function<HRESULT(REFIID, void**)> create_;
};

// Hands out a new `T` through interface `iid`, as a factory does.
template <class T, class... Arguments>
HRESULT Make(REFIID iid, void** object, Arguments... arguments) {
    T* made = new T(arguments...);
    const HRESULT result = made->QueryInterface(iid, object);
    made->Release();
    return result;
}

// Makes `create` the factory of `clsid` for the rest of the process.
void Register(REFCLSID clsid, std::function<HRESULT(REFIID, void**)> create) {
    auto* factory = new Factory(std::move(create));
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(clsid, factory, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &cookie))) std::abort();
    factory->Release();
}

// An object with no interface but IUnknown.
class Blank final : public com::Object<IUnknown> {};

// What a fake object's call answers; a failure comes with error information when it has a
// description and the object supports error information.
struct Answer {
    HRESULT code = S_OK;
    const char* description = nullptr;

    HRESULT Give() const noexcept { return description != nullptr ? com::ReportError(code, description) : code; }
};

// A parse error that gives `reason` as ASCII text. With `memoryRunsOut`, handing the reason out
// leaves the process without memory for the caller's copy of it: the runtime's conversion to
// narrow text is the one allocation of that size that goes through before it.
class FakeParseError final : public com::Object<IXMLDOMParseError> {
public:
    FakeParseError(std::string reason, bool memoryRunsOut) : reason_(std::move(reason)), memoryRunsOut_(memoryRunsOut) {}
    HRESULT get_errorCode(long* errorCode) noexcept override {
        *errorCode = E_FAIL;
        return S_OK;
    }
    HRESULT get_url(BSTR*) noexcept override { return E_NOTIMPL; }
    HRESULT get_reason(BSTR* reason) noexcept override {
        const std::u16string wide(reason_.begin(), reason_.end());
        *reason = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (memoryRunsOut_) FailAllocation(reason_.size(), 1);
        return *reason != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT get_srcText(BSTR*) noexcept override { return E_NOTIMPL; }
    HRESULT get_line(long*) noexcept override { return E_NOTIMPL; }
    HRESULT get_linepos(long*) noexcept override { return E_NOTIMPL; }
    HRESULT get_filepos(long*) noexcept override { return E_NOTIMPL; }

private:
    std::string reason_;
    bool memoryRunsOut_;
};

// What a fake document's failed load leaves as its parse error.
struct ParseErrorAnswer {
    // No reason: the document has no parse error to show.
    const char* reason = nullptr;
    bool memoryRunsOut = false;
};

// A document whose load answers as told, with the parse error it is told to have.
class FakeDocument final : public com::Object<IXMLDOMDocument, ISupportErrorInfo> {
public:
    FakeDocument(Answer load, VARIANT_BOOL loaded, ParseErrorAnswer parseError = {}) noexcept
        : load_(load), loaded_(loaded), parseError_(parseError) {}
    HRESULT get_nodeName(BSTR*) noexcept override { return E_NOTIMPL; }
    HRESULT get_xml(BSTR*) noexcept override { return E_NOTIMPL; }
    HRESULT load(VARIANT, VARIANT_BOOL* isSuccessful) noexcept override {
        *isSuccessful = loaded_;
        return load_.Give();
    }
    HRESULT loadXML(BSTR, VARIANT_BOOL*) noexcept override { return E_NOTIMPL; }
    HRESULT get_parseError(IXMLDOMParseError** parseError) noexcept override {
        *parseError = nullptr;
        if (parseError_.reason == nullptr) return E_NOTIMPL;
        *parseError = new FakeParseError(parseError_.reason, parseError_.memoryRunsOut);
        return S_OK;
    }
    HRESULT get_url(BSTR*) noexcept override { return E_NOTIMPL; }
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXMLDOMDocument) ? S_OK : S_FALSE;
    }

private:
    Answer load_;
    VARIANT_BOOL loaded_;
    ParseErrorAnswer parseError_;
};

// How a fake processor answers.
struct ProcessorAnswers {
    Answer addParameter;
    Answer transform;
    // Whether the processor says it sets error information for IXSLProcessor.
    bool supportsErrorInfo = true;
    // Whether a successful transform leaves the process without memory for the next allocation
    // of a kilobyte or more.
    bool memoryRunsOut = false;
};

// A processor that writes what it was given into its output stream instead of transforming.
class FakeProcessor final : public com::Object<IXSLProcessor, ISupportErrorInfo> {
public:
    explicit FakeProcessor(ProcessorAnswers answers) : answers_(answers) {}
    HRESULT put_input(VARIANT input) noexcept override {
        hasInput_ = input.vt == VT_UNKNOWN && input.punkVal != nullptr;
        return S_OK;
    }
    HRESULT get_input(VARIANT*) noexcept override { return E_NOTIMPL; }
    HRESULT get_ownerTemplate(IXSLTemplate**) noexcept override { return E_NOTIMPL; }
    HRESULT put_output(VARIANT output) noexcept override {
        if (output.vt != VT_UNKNOWN || output.punkVal == nullptr) return E_INVALIDARG;
        return output.punkVal->QueryInterface(&output_);
    }
    HRESULT get_output(VARIANT*) noexcept override { return E_NOTIMPL; }
    HRESULT transform(VARIANT_BOOL* done) noexcept override {
        *done = VARIANT_FALSE;
        if (FAILED(answers_.transform.code)) return answers_.transform.Give();
        std::string text = "input " + std::string(hasInput_ ? "set" : "missing") + "\n" + parameters_;
        if (output_ != nullptr) output_->Write(text.data(), static_cast<ULONG>(text.size()), nullptr);
        *done = VARIANT_TRUE;
        if (answers_.memoryRunsOut) FailAllocation(1024);
        return S_OK;
    }
    HRESULT reset() noexcept override { return E_NOTIMPL; }
    HRESULT get_readyState(long*) noexcept override { return E_NOTIMPL; }
    HRESULT addParameter(BSTR baseName, VARIANT parameter, BSTR namespaceURI) noexcept override {
        if (FAILED(answers_.addParameter.code)) return answers_.addParameter.Give();
        try {
            const std::string value =
                parameter.vt == VT_BSTR ? std::string(_bstr_t(parameter.bstrVal, true)) : "(not a string)";
            parameters_ += std::string(_bstr_t(baseName, true)) + "=" + value + " in '" +
                           std::string(_bstr_t(namespaceURI, true)) + "'\n";
        } catch (const _com_error& error) {
            return error.Error();
        }
        return S_OK;
    }
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return answers_.supportsErrorInfo && iid == __uuidof(IXSLProcessor) ? S_OK : S_FALSE;
    }
    ~FakeProcessor() override {
        if (output_ != nullptr) output_->Release();
    }

private:
    ProcessorAnswers answers_;
    IStream* output_ = nullptr;
    bool hasInput_ = false;
    std::string parameters_;
};

// A template whose createProcessor answers as told, with a FakeProcessor when it succeeds.
class FakeTemplate final : public com::Object<IXSLTemplate, ISupportErrorInfo> {
public:
    FakeTemplate(Answer create, bool giveProcessor, ProcessorAnswers processor) noexcept
        : create_(create), giveProcessor_(giveProcessor), processor_(processor) {}
    HRESULT putref_stylesheet(IXMLDOMNode*) noexcept override { return S_OK; }
    HRESULT get_stylesheet(IXMLDOMNode**) noexcept override { return E_NOTIMPL; }
    HRESULT createProcessor(IXSLProcessor** processor) noexcept override {
        *processor = nullptr;
        if (FAILED(create_.code)) return create_.Give();
        if (giveProcessor_) *processor = new FakeProcessor(processor_);
        return S_OK;
    }
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXSLTemplate) ? S_OK : S_FALSE;
    }

private:
    Answer create_;
    bool giveProcessor_;
    ProcessorAnswers processor_;
};

// Registers a FakeTemplate as the service's template class.
void InstallTemplate(Answer create, bool giveProcessor = true, ProcessorAnswers processor = {}) {
    Register(CLSID_XSLTemplate, [=](REFIID iid, void** object) {
        return Make<FakeTemplate>(iid, object, create, giveProcessor, processor);
    });
}

// A processor whose addParameter answers `answer`.
ProcessorAnswers RefusingParameter(Answer answer) {
    ProcessorAnswers answers;
    answers.addParameter = answer;
    return answers;
}

// A processor whose transform answers `answer`, with or without error information for it.
ProcessorAnswers FailingTransform(Answer answer, bool supportsErrorInfo) {
    ProcessorAnswers answers;
    answers.transform = answer;
    answers.supportsErrorInfo = supportsErrorInfo;
    return answers;
}

// A processor that does its work and leaves the process without memory afterwards.
ProcessorAnswers ExhaustingMemory() {
    ProcessorAnswers answers;
    answers.memoryRunsOut = true;
    return answers;
}

// The lines as the run log stores them.
std::string Lines(std::initializer_list<std::string_view> lines) {
    std::string text;
    for (const std::string_view line : lines) (text += line) += "\r\n";
    return text;
}

struct FaultCase {
    const char* name;
    // Registers the fakes in the child, before the run.
    std::function<void()> install;
    int status;
    std::string console;
    std::string log;
    // The output file afterwards; none when the run must not write one.
    std::optional<std::string> outputFile;
};

// A reason far longer than a string keeps in place.
const std::string kLongReason = "Not loaded: " + std::string(2000, 'x');

const std::string kLoaded =
    Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Successfully loaded XML, XSL.", "Set up XSL"});
const std::string kProcessorReady =
    kLoaded + Lines({"Created XSL processor.", "CreateStreamOnHGlobal OK.", "Set processor output to stream.",
                     "Set processor input to XML."});

const FaultCase kFaultCases[] = {
    {"DocumentWithoutItsInterfaceFailsTheLoadingStage",
     [] { Register(CLSID_DOMDocument, Make<Blank>); }, 255, "Error loading XML files : (null)\r\n",
     Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Error loading XML files : (null)", ""}),
     std::nullopt},
    {"CreationFailureEndsTheRun",
     [] { Register(CLSID_XSLTemplate, [](REFIID, void**) { return REGDB_E_CLASSNOTREG; }); }, 255,
     "Error creating XML objects : (null)\r\n",
     Lines({kBanner, "After CoInitialize.", "Error creating XML objects : (null)", ""}), std::nullopt},
    {"LoadRaisingShowsTheDescription",
     [] {
         Register(CLSID_DOMDocument, [](REFIID iid, void** object) {
             return Make<FakeDocument>(iid, object, Answer{E_ACCESSDENIED, "access denied, 100% sure"}, VARIANT_FALSE);
         });
     },
     255, "Error loading XML files : access denied, 100% sure\r\n",
     Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Error loading XML files : access denied, 100% sure",
            ""}),
     std::nullopt},
    {"FalseLoadWithoutReasonShowsNull",
     [] {
         Register(CLSID_FreeThreadedDOMDocument, [](REFIID iid, void** object) {
             return Make<FakeDocument>(iid, object, Answer{S_FALSE}, VARIANT_FALSE);
         });
     },
     255, "Error loading XML files : (null)\r\n",
     Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Error loading XML files : (null)", ""}),
     std::nullopt},
    {"CreateProcessorFailureFailsTheStyleSheetStage", [] { InstallTemplate({E_FAIL, "no processor\ntoday"}); }, 255,
     "Error setting XSL style sheet : no processor\r\ntoday\r\n",
     kLoaded + Lines({"Error setting XSL style sheet : no processor", "today", ""}), std::nullopt},
    {"MissingProcessorFailsSettingTheOutput", [] { InstallTemplate({}, false); }, 255,
     "Error setting processor output : (null)\r\n",
     kLoaded + Lines({"Created XSL processor.", "CreateStreamOnHGlobal OK.", "Error setting processor output : (null)",
                      ""}),
     std::nullopt},
    {"AddParameterFailureEndsTheRun",
     [] { InstallTemplate({}, true, RefusingParameter({E_INVALIDARG, "parameter refused"})); }, 255,
     "Error setting processor parameter : parameter refused\r\n",
     kProcessorReady + Lines({"Error setting processor parameter : parameter refused", ""}), std::nullopt},
    {"TransformFailureEndsTheRun",
     [] { InstallTemplate({}, true, FailingTransform({E_FAIL, "transformation refused"}, true)); }, 255,
     "Error performing transformation : transformation refused\r\n",
     kProcessorReady +
         Lines({"Set processor parameter maxprice to 35.", "Error performing transformation : transformation refused",
                ""}),
     std::nullopt},
    {"TransformFailureWithoutErrorInformationShowsNull",
     [] { InstallTemplate({}, true, FailingTransform({E_FAIL, "not passed on"}, false)); }, 255,
     "Error performing transformation : (null)\r\n",
     kProcessorReady +
         Lines({"Set processor parameter maxprice to 35.", "Error performing transformation : (null)", ""}),
     std::nullopt},
    // No memory for a copy the driver makes, inside the guarded loading stage and in an
    // unguarded step: the exception ends the run with the step's error line.
    {"NoMemoryForTheParseErrorsReasonFailsTheLoadingStage",
     [] {
         Register(CLSID_DOMDocument, [](REFIID iid, void** object) {
             return Make<FakeDocument>(iid, object, Answer{S_FALSE}, VARIANT_FALSE,
                                       ParseErrorAnswer{kLongReason.c_str(), true});
         });
     },
     255, "Error loading XML files : Out of memory\r\n",
     Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Error loading XML files : Out of memory", ""}),
     std::nullopt},
    {"NoMemoryForTheResultsLogLineFailsTheDelivery", [] { InstallTemplate({}, true, ExhaustingMemory()); }, 255,
     "input set\r\nmaxprice=35 in ''\r\nError delivering the result : Out of memory\r\n",
     kProcessorReady + Lines({"Set processor parameter maxprice to 35.", "Successfully performed transformation.",
                              "Written output to stream.", "Error delivering the result : Out of memory", ""}),
     std::nullopt},
    // With memory, the parse error's reason is the error line's description.
    {"FalseLoadShowsTheParseErrorsReason",
     [] {
         Register(CLSID_DOMDocument, [](REFIID iid, void** object) {
             return Make<FakeDocument>(iid, object, Answer{S_FALSE}, VARIANT_FALSE,
                                       ParseErrorAnswer{kLongReason.c_str(), false});
         });
     },
     255, "Error loading XML files : " + kLongReason + "\r\n",
     Lines({kBanner, "After CoInitialize.", "Declared XML, XSL.", "Error loading XML files : " + kLongReason, ""}),
     std::nullopt},
    {"ProcessorGetsTheStreamTheInputAndTheParameter", [] { InstallTemplate({}); }, 0,
     "input set\r\nmaxprice=35 in ''\r\nPress any key to continue.",
     kProcessorReady + Lines({"Set processor parameter maxprice to 35.", "Successfully performed transformation.",
                              "Written output to stream.", "Output is: input set", "maxprice=35 in ''",
                              ".", "Successfully written lines to output file.", "Closed output file.",
                              "Released GlobalLock.", "Released XML, XSL, Template and processor objects.",
                              "Performed CoUninitialize. Finished successfully.",
                              "------------------------------------------------", ""}),
     "input set\r\nmaxprice=35 in ''\r\n\r\n"},
};

// Names the case in test reports.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, RunReportsTheFault) {
    const FaultCase& fault = GetParam();
    const TemporaryDirectory work;
    CopyFolder(fs::path(SOURCE_DIR) / "demo" / "Input", work.path() / "Input");
    fs::create_directory(work.path() / "Output");

    const ChildOutcome outcome = RunInChild(work.path(), [&fault] {
        CoInitialize(nullptr);
        fault.install();
        return RunTest(kBrendle4);
    });

    EXPECT_EQ(outcome.status, fault.status) << outcome.errors;
    EXPECT_EQ(outcome.console, fault.console);
    EXPECT_EQ(ReadBytes(work.path() / "Output" / "debug.txt"), fault.log);
    EXPECT_EQ(ReadBytes(work.path() / "Output" / "Brendle4.htm"), fault.outputFile);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& test) { return std::string(test.param.name); });

}  // namespace
