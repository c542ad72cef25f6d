// The fixture of the XML service's tests: each test runs in its own temporary folder, which
// is also the working directory, with the runtime initialised. It fails a test that leaves an
// object alive or lets anything reach the standard error.
#pragma once

#include "support/files.h"
#include "xmlservice/msxml.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a transformation that was expected to fail ended.
struct FailedTransform {
    HRESULT code = S_OK;
    // The description a raising call carries for the failure.
    std::string description;
    // The bytes written into the output stream.
    std::string output;
    long readyState = 0;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `content` to `path` (relative to the test's folder), creating folders on the way.
    static void WriteFile(const std::string& path, std::string_view content);
    // The absolute path of `path` in the test's folder.
    std::string Absolute(const std::string& path) const;

    // A new document of `clsid` with `name` loaded, expecting the load to succeed.
    static IXMLDOMDocumentPtr Load(const std::string& name, const CLSID& clsid = CLSID_DOMDocument);
    // A new template compiled from the stylesheet at `name`, expecting success.
    static IXSLTemplatePtr Compile(const std::string& name);
    // Runs a processor of `compiled` over `input` into a new stream; the bytes written, or the
    // failure code in `result`.
    static std::string Run(IXSLProcessor* processor, IXMLDOMDocument* input, HRESULT* result = nullptr);
    // Compiles `stylesheet`, runs it over `input` (both file names) and returns the bytes.
    static std::string Transform(const std::string& stylesheet, const std::string& input);
    // Compiles `stylesheet`, runs a new processor of it over `input` (both file names) and
    // expects the transformation to fail: how it failed, with the description that raising the
    // failure carries.
    static FailedTransform TransformFailing(const std::string& stylesheet, const std::string& input);

    // The test's folder, which is the working directory during the test.
    std::filesystem::path folder_;

private:
    // Holds the test's folder and, beside it, the copy of the standard error.
    std::optional<TemporaryDirectory> temporary_;
    std::filesystem::path previousFolder_;
    long liveObjectsAtStart_ = 0;
    int savedStandardError_ = -1;
    std::filesystem::path standardErrorCopy_;
};

// The description of the thread's error information, taken; "<none>" without one. Fails the
// test when the description is not exactly one line.
std::string TakeErrorDescription();
// The description a raising call would carry: the error information of `object`'s failed call
// of interface `iid`, taken through the runtime's error-raising path.
std::string RaisedDescription(HRESULT code, IUnknown* object, REFIID iid);
// A wide string as UTF-8.
std::string Narrow(BSTR text);
// The reason of a document's parse error.
std::string ParseReason(IXMLDOMDocument* document);
// Everything a memory stream holds.
std::string StreamBytes(IStream* stream);
// A VT_BSTR variant made from UTF-8.
_variant_t Text(const std::string& utf8);
