#include "test_run.h"

#include "console.h"
#include "platform.h"
#include "result_delivery.h"
#include "run_log.h"
#include "text_output.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>

namespace {

// The service's classes. Spelt out here rather than taken from the platform's headers, whose
// names for them differ between the platform's own SDKs.
constexpr CLSID kDomDocumentClass{0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr CLSID kFreeThreadedDomDocumentClass{
    0xF6D90F12, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr CLSID kXslTemplateClass{0x2933BF94, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// In-process server, in-process handler and local server. The local-server bit makes creation
// go through IUnknown and OleRun before the holder's interface is asked for.
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// A step that failed, with the description its error line shows; none prints as "(null)".
struct Failure {
    std::optional<std::string> description;
};

// The description of a COM error as narrow text; none when the error carries none, or it does
// not convert, or there is no memory for it: the error line is written all the same.
std::optional<std::string> DescriptionOf(const _com_error& error) noexcept {
    try {
        const _bstr_t description = error.Description();
        const char* text = description;
        if (text != nullptr) return std::string(text);
    } catch (...) {
        // Reported as no description.
    }
    return std::nullopt;
}

// Why `document` did not load: its parse error's reason, if the document gives one.
std::optional<std::string> ParseErrorReason(IXMLDOMDocument* document) {
    IXMLDOMParseErrorPtr parseError;
    document->get_parseError(&parseError);
    if (!parseError) return std::nullopt;
    BSTR reason = nullptr;
    parseError->get_reason(&reason);
    const _bstr_t owned(reason, false);
    const char* text = owned;
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

// Prints and logs "Error <what> : <description>" with a line end; a null description prints as
// "(null)". Needs no memory beyond what the console and the log have.
void ReportFailure(const char* what, const char* description) noexcept {
    if (description == nullptr) description = "(null)";
    ConsolePrint("Error %s : %s\n", what, description);
    LogLine("Error %s : %s\n", what, description);
    ConsoleFlush();
}

// Ends the process after a guarded stage failed: the holders are deliberately left as they are.
[[noreturn]] void EndGuardedStage(const char* what, const Failure& failure) noexcept {
    ReportFailure(what, failure.description ? failure.description->c_str() : nullptr);
    std::exit(-1);
}

// Loads `path` into `document`; a load that answers false fails with the parse error's reason.
std::optional<Failure> LoadDocument(const IXMLDOMDocumentPtr& document, const char* path) {
    VARIANT_BOOL loaded = VARIANT_FALSE;
    CheckCall(document->load(_variant_t(path), &loaded), document.GetInterfacePtr(), __uuidof(IXMLDOMDocument));
    if (loaded == VARIANT_FALSE) return Failure{ParseErrorReason(document.GetInterfacePtr())};
    return std::nullopt;
}

// The loading stage: both documents, or the first failure.
std::optional<Failure> LoadDocuments(const IXMLDOMDocumentPtr& xml, const IXMLDOMDocumentPtr& xsl) {
    try {
        if (auto failure = LoadDocument(xml, "Input\\books.xml")) return failure;
        return LoadDocument(xsl, "Input\\trans.xsl");
    } catch (const _com_error& error) {
        return Failure{DescriptionOf(error)};
    }
}

// The style-sheet stage: compiles `xsl` into `xslTemplate` and fills `processor` from it.
std::optional<Failure> SetUpProcessor(const IXSLTemplatePtr& xslTemplate, const IXMLDOMDocumentPtr& xsl,
                                      IXSLProcessorPtr& processor) {
    try {
        // Deliberately not examined: a template that refused the stylesheet has none, and
        // createProcessor below fails with the reason.
        xslTemplate->putref_stylesheet(xsl.GetInterfacePtr());
        LogLine("Set up XSL");
        {
            // The temporary owns the service's reference; the assignment adds the holder's own,
            // and the temporary's goes with it at the end of this block.
            IXSLProcessorPtr created;
            CheckCall(xslTemplate->createProcessor(&created), xslTemplate.GetInterfacePtr(), __uuidof(IXSLTemplate));
            processor = created;
        }
        return std::nullopt;
    } catch (const _com_error& error) {
        return Failure{DescriptionOf(error)};
    }
}

}  // namespace

int RunTest(const Deliverable& deliverable) {
    PrepareConsole();
    // What the run is doing, for the error line of a step that raises: a COM error from an
    // unguarded step, or any other exception (no memory, say) from any step, guarded or not.
    const char* step = "creating XML objects";
    try {
        LogLine("%s", deliverable.banner);
        CoInitialize(nullptr);
        LogLine("After CoInitialize.");

        IXMLDOMDocumentPtr xml(kDomDocumentClass, nullptr, kClassContext);
        IXMLDOMDocumentPtr xsl(kFreeThreadedDomDocumentClass, nullptr, kClassContext);
        IXSLTemplatePtr xslTemplate(kXslTemplateClass, nullptr, kClassContext);
        IXSLProcessorPtr processor;
        LogLine("Declared XML, XSL.");

        step = "loading XML files";
        if (auto failure = LoadDocuments(xml, xsl)) EndGuardedStage(step, *failure);
        LogLine("Successfully loaded XML, XSL.");

        step = "setting XSL style sheet";
        if (auto failure = SetUpProcessor(xslTemplate, xsl, processor)) EndGuardedStage(step, *failure);
        LogLine("Created XSL processor.");

        step = "creating output stream";
        IStreamPtr stream = CreateOutputStream();

        // The answers of put_output and put_input are deliberately not examined: a processor that
        // refused its output or its input fails the transformation, whose error line says why.
        // The first call raises only when there is no processor at all; the second never does.
        step = "setting processor output";
        processor->put_output(_variant_t(static_cast<IUnknown*>(stream.GetInterfacePtr())));
        LogLine("Set processor output to stream.");

        step = "setting processor input";
        processor->put_input(_variant_t(static_cast<IUnknown*>(xml.GetInterfacePtr())));
        LogLine("Set processor input to XML.");

        step = "setting processor parameter";
        CheckCall(processor->addParameter(_bstr_t("maxprice"), _variant_t("35"), _bstr_t("")),
                  processor.GetInterfacePtr(), __uuidof(IXSLProcessor));
        LogLine("Set processor parameter maxprice to 35.");

        step = "performing transformation";
        VARIANT_BOOL done = VARIANT_FALSE;
        CheckCall(processor->transform(&done), processor.GetInterfacePtr(), __uuidof(IXSLProcessor));
        LogLine("Successfully performed transformation.");

        step = "delivering the result";
        // A delivery that fails has flushed its console line and logged its own error line.
        if (!DeliverResult(stream.GetInterfacePtr(), deliverable.outputFile)) return -1;

        step = "releasing objects";
        xml.Release();
        xsl.Release();
        xslTemplate.Release();
        processor.Release();
        // The processor has let go of the stream by now; its memory goes before the runtime does.
        if (stream) stream.Release();
        LogLine("Released XML, XSL, Template and processor objects.");
    } catch (const _com_error& error) {
        const std::optional<std::string> description = DescriptionOf(error);
        ReportFailure(step, description ? description->c_str() : nullptr);
        return -1;
    } catch (const std::bad_alloc&) {
        ReportFailure(step, "Out of memory");
        return -1;
    } catch (const std::exception& exception) {
        ReportFailure(step, exception.what());
        return -1;
    } catch (...) {
        ReportFailure(step, nullptr);
        return -1;
    }

    CoUninitialize();
    LogLine("Performed CoUninitialize. Finished successfully.");
    LogLine("------------------------------------------------");
    LogLine("%s", "");

    ConsoleWrite("Press any key to continue.");
    // A terminal shows the prompt before the read; redirected output is left buffered until
    // the run ends, and its last flush is this one rather than the one at exit.
    if (IsTerminal(stdout)) ConsoleFlush();
    std::getchar();
    ConsoleFlush();
    return 0;
}
