// Feeds arbitrary bytes through the XML service as the driver uses it: a document and a
// stylesheet loaded from files, compiled, given a processor and a string parameter, and run
// into a memory stream. The input holds up to three parts, split at kSeparator: the document,
// the stylesheet and the parameter's value. With one part it is both document and stylesheet.
#include "engine/budget.h"
#include "engine/library_setup.h"
#include "support/files.h"
#include "xmlservice/msxml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Never valid UTF-8, and spread apart by zero bytes in UTF-16, so no sound document holds it.
constexpr std::string_view kSeparator = "\xF8split\xF8";

// A small budget reaches the paths where the budget stops the work within milliseconds, not
// the seconds that a whole GiB takes.
constexpr std::uint64_t kFuzzBudget = std::uint64_t{16} << 20;

// The folder the inputs are written to; removed when the process exits.
std::optional<TemporaryDirectory> gTemporary;
std::filesystem::path gFolder;

std::vector<std::string_view> Split(std::string_view data) {
    std::vector<std::string_view> parts;
    while (parts.size() < 2) {
        const std::size_t at = data.find(kSeparator);
        if (at == std::string_view::npos) break;
        parts.push_back(data.substr(0, at));
        data.remove_prefix(at + kSeparator.size());
    }
    parts.push_back(data);
    return parts;
}

IXMLDOMDocumentPtr Load(const std::filesystem::path& file) {
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const _variant_t path(file.c_str());
    if (document->load(path, &loaded) != S_OK || loaded != VARIANT_TRUE) return nullptr;
    return document;
}

void Run(std::string_view documentBytes, std::string_view stylesheetBytes, std::string_view parameter) {
    WriteFile(gFolder / "books.xml", documentBytes);
    WriteFile(gFolder / "trans.xsl", stylesheetBytes);
    IXMLDOMDocumentPtr document = Load(gFolder / "books.xml");
    IXMLDOMDocumentPtr stylesheet = Load(gFolder / "trans.xsl");
    if (!document || !stylesheet) return;
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    if (FAILED(compiled->putref_stylesheet(stylesheet))) return;
    IXSLProcessorPtr processor;
    if (FAILED(compiled->createProcessor(&processor))) return;
    IStreamPtr stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return;
    processor->put_output(_variant_t(static_cast<IUnknown*>(stream.GetInterfacePtr())));
    processor->put_input(_variant_t(static_cast<IUnknown*>(document.GetInterfacePtr())));
    // Text that is not UTF-8 cannot become a wide string; the parameter is then left out.
    try {
        const std::string value(parameter);
        processor->addParameter(_bstr_t("maxprice"), _variant_t(value.c_str()), _bstr_t(""));
    } catch (const _com_error&) {
    }
    VARIANT_BOOL done = VARIANT_FALSE;
    processor->transform(&done);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gTemporary.emplace("xmlservice-fuzz");
    gFolder = gTemporary->path();
    if (FAILED(CoInitialize(nullptr))) std::abort();
    xmlservice::SetBudgetBaseForTesting(kFuzzBudget);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string_view> parts = Split(std::string_view(reinterpret_cast<const char*>(data), size));
    Run(parts[0], parts.size() > 1 ? parts[1] : parts[0], parts.size() > 2 ? parts[2] : "35");
    // Error information nobody took stays with the thread; it is no leak of the run.
    SetErrorInfo(0, nullptr);
    return 0;
}
