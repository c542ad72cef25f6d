#include "service_test.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

void ServiceTest::SetUp() {
    ASSERT_TRUE(xmlservice::classesRegistered);
    temporary_.emplace("xmlservice-test");
    folder_ = temporary_->path() / "work";
    std::filesystem::create_directory(folder_);
    previousFolder_ = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    SetErrorInfo(0, nullptr);
    liveObjectsAtStart_ = com::LiveObjectCount();

    // Whatever reaches the standard error from here on lands in a file the teardown reads.
    std::fflush(stderr);
    standardErrorCopy_ = temporary_->path() / "stderr";
    const int capture = open(standardErrorCopy_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(capture, 0);
    savedStandardError_ = dup(2);
    dup2(capture, 2);
    close(capture);
}

void ServiceTest::TearDown() {
    std::fflush(stderr);
    if (savedStandardError_ >= 0) {
        dup2(savedStandardError_, 2);
        close(savedStandardError_);
    }
    std::ifstream captured(standardErrorCopy_, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(captured)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, "") << "the XML service wrote to the standard error";

    SetErrorInfo(0, nullptr);  // error information nobody took is the thread's, not a leak
    EXPECT_EQ(com::LiveObjectCount(), liveObjectsAtStart_) << "objects of the service stayed alive";
    CoUninitialize();
    std::filesystem::current_path(previousFolder_);
    temporary_.reset();
}

void ServiceTest::WriteFile(const std::string& path, std::string_view content) { ::WriteFile(path, content); }

std::string ServiceTest::Absolute(const std::string& path) const { return (folder_ / path).string(); }

IXMLDOMDocumentPtr ServiceTest::Load(const std::string& name, const CLSID& clsid) {
    IXMLDOMDocumentPtr document(clsid);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT result = document->load(Text(name), &loaded);
    EXPECT_EQ(result, S_OK) << name << ": " << ParseReason(document);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    return document;
}

IXSLTemplatePtr ServiceTest::Compile(const std::string& name) {
    IXMLDOMDocumentPtr stylesheet = Load(name, CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    const HRESULT result = compiled->putref_stylesheet(stylesheet);
    EXPECT_EQ(result, S_OK) << TakeErrorDescription();
    return compiled;
}

std::string ServiceTest::Run(IXSLProcessor* processor, IXMLDOMDocument* input, HRESULT* result) {
    IStreamPtr stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    EXPECT_EQ(processor->put_input(_variant_t(input)), S_OK);
    EXPECT_EQ(processor->put_output(_variant_t(static_cast<IUnknown*>(stream.GetInterfacePtr()))), S_OK);
    VARIANT_BOOL done = VARIANT_FALSE;
    const HRESULT transformed = processor->transform(&done);
    if (result != nullptr)
        *result = transformed;
    else
        EXPECT_EQ(transformed, S_OK) << TakeErrorDescription();
    EXPECT_EQ(done, SUCCEEDED(transformed) ? VARIANT_TRUE : VARIANT_FALSE);
    return StreamBytes(stream);
}

std::string ServiceTest::Transform(const std::string& stylesheet, const std::string& input) {
    IXSLTemplatePtr compiled = Compile(stylesheet);
    IXSLProcessorPtr processor;
    EXPECT_EQ(compiled->createProcessor(&processor), S_OK) << TakeErrorDescription();
    if (!processor) return {};
    IXMLDOMDocumentPtr document = Load(input);
    return Run(processor, document);
}

FailedTransform ServiceTest::TransformFailing(const std::string& stylesheet, const std::string& input) {
    FailedTransform failed;
    IXSLTemplatePtr compiled = Compile(stylesheet);
    IXSLProcessorPtr processor;
    EXPECT_EQ(compiled->createProcessor(&processor), S_OK) << TakeErrorDescription();
    if (!processor) return failed;
    IXMLDOMDocumentPtr document = Load(input);
    failed.output = Run(processor, document, &failed.code);
    EXPECT_TRUE(FAILED(failed.code)) << stylesheet << " did not fail over " << input;
    failed.description = RaisedDescription(failed.code, processor, __uuidof(IXSLProcessor));
    EXPECT_EQ(processor->get_readyState(&failed.readyState), S_OK);
    return failed;
}

std::string TakeErrorDescription() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return "<none>";
    BSTR description = nullptr;
    info->GetDescription(&description);
    info->Release();
    std::string text = Narrow(description);
    SysFreeString(description);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "not one line: " << text;
    EXPECT_FALSE(text.empty());
    return text;
}

std::string RaisedDescription(HRESULT code, IUnknown* object, REFIID iid) {
    try {
        _com_issue_errorex(code, object, iid);
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), code);
        const _bstr_t description = error.Description();
        const char* text = description;
        return text != nullptr ? text : "<none>";
    }
    return "<not raised>";
}

std::string Narrow(BSTR text) {
    std::string narrow;
    if (text != nullptr) {
        EXPECT_TRUE(com::NarrowFromWide(std::u16string_view(text, SysStringLen(text)), narrow));
    }
    return narrow;
}

std::string ParseReason(IXMLDOMDocument* document) {
    IXMLDOMParseErrorPtr error;
    if (document == nullptr || document->get_parseError(&error) != S_OK) return "<no parse error>";
    BSTR reason = nullptr;
    error->get_reason(&reason);
    std::string text = Narrow(reason);
    SysFreeString(reason);
    return text;
}

std::string StreamBytes(IStream* stream) {
    HGLOBAL block = nullptr;
    EXPECT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
    STATSTG statistics{};
    EXPECT_EQ(stream->Stat(&statistics, STATFLAG_NONAME), S_OK);
    const auto* bytes = static_cast<const char*>(GlobalLock(block));
    std::string copy(bytes, static_cast<std::size_t>(statistics.cbSize.QuadPart));
    GlobalUnlock(block);
    return copy;
}

_variant_t Text(const std::string& utf8) { return _variant_t(utf8.c_str()); }
