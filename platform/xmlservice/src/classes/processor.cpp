#include "classes/processor.h"

#include "classes/document_access.h"
#include "classes/method_support.h"
#include "engine/access_policy.h"
#include "engine/budget.h"
#include "engine/call_record.h"
#include "engine/libxslt_fields.h"
#include "xslt/document_function.h"
#include "xslt/ids.h"
#include "xslt/keys.h"
#include "xslt/processing_instructions.h"
#include "xslt/scripts.h"
#include "xslt/sort.h"
#include "xslt/sums.h"

#include <libxml/encoding.h>
#include <libxml/tree.h>
#include <libxml/xmlIO.h>
#include <libxml/xpath.h>
#include <libxslt/imports.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/variables.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace xmlservice {
namespace {

// A number as an XPath expression that evaluates to that number. XPath has no exponents, so
// numbers that are not whole go through number(), which reads them.
std::string NumberExpression(double value) {
    if (std::isnan(value)) return "number('NaN')";
    if (std::isinf(value)) return value > 0 ? "1 div 0" : "-1 div 0";
    char digits[64];
    const bool whole = std::trunc(value) == value && std::fabs(value) < 1e15;
    const auto [end, error] = whole ? std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value))
                                    : std::to_chars(digits, digits + sizeof digits, value);
    if (error != std::errc{}) return "number('NaN')";
    if (whole) return std::signbit(value) && value == 0 ? "-0" : std::string(digits, end);
    return "number('" + std::string(digits, end) + "')";
}

// A transformation's context, run without libxslt's debugger, whose status the service keeps on
// only so that libxslt leaves the numbering of the source's elements to it.
xsltTransformContextPtr NewTransformContext(xsltStylesheetPtr stylesheet, xmlDocPtr source) {
    const xsltTransformContextPtr context = xsltNewTransformContext(stylesheet, source);
    if (context != nullptr) RunWithoutDebugger(context);
    return context;
}

// Numbers the elements of `source` in document order, as XPath's sorting into document order
// wants them, unless its parse numbered them already: its root element tells (a copied tree, a
// tree built by hand). xmlXPathOrderDocElems writes minus the rank into xmlNode::content, which
// is unused in elements (libxml2 2.9.14 to 2.15).
void NumberInDocumentOrder(xmlDoc& source) {
    const xmlNodePtr root = xmlDocGetRootElement(&source);
    if (root != nullptr && reinterpret_cast<std::ptrdiff_t>(root->content) >= 0) xmlXPathOrderDocElems(&source);
}

// Where the serializer writes: the caller's stream, whose bytes count against the memory budget
// while the transformation runs.
struct StreamSink {
    IStream* stream;
    HRESULT failure = S_OK;
    BudgetCharge written;
};

int WriteToStream(void* context, const char* bytes, int length) {
    auto* sink = static_cast<StreamSink*>(context);
    if (length <= 0) return 0;
    if (!sink->written.Add(static_cast<std::uint64_t>(length))) return -1;
    ULONG written = 0;
    const HRESULT result = sink->stream->Write(bytes, static_cast<ULONG>(length), &written);
    if (FAILED(result) || written != static_cast<ULONG>(length)) {
        sink->failure = FAILED(result) ? result : STG_E_MEDIUMFULL;
        return -1;
    }
    return length;
}

class Processor final : public com::Object<IXSLProcessor, ISupportErrorInfo> {
public:
    Processor(IXSLTemplate* owner, std::shared_ptr<CompiledStylesheet> compiled) noexcept
        : owner_(owner), compiled_(std::move(compiled)) {}

    HRESULT put_input(VARIANT input) noexcept override {
        return Guarded([&] {
            IDocumentAccess* document = nullptr;
            if (input.vt != VT_UNKNOWN || input.punkVal == nullptr || FAILED(input.punkVal->QueryInterface(&document)))
                return Fail(Failure::BadArgument, "put_input needs a document of the XML service as VT_UNKNOWN, not " +
                                                      VariantTypeName(input.vt));
            input_.Attach(document);
            inputObject_ = input.punkVal;
            return S_OK;
        });
    }

    HRESULT get_input(VARIANT* input) noexcept override { return ReturnObject(inputObject_, input); }

    HRESULT get_ownerTemplate(IXSLTemplate** ownerTemplate) noexcept override {
        if (ownerTemplate == nullptr) return Fail(Failure::NullPointer);
        *ownerTemplate = owner_;
        owner_->AddRef();
        return S_OK;
    }

    HRESULT put_output(VARIANT output) noexcept override {
        return Guarded([&] {
            if (output.vt == VT_EMPTY) {
                output_ = nullptr;
                return S_OK;
            }
            IStream* stream = nullptr;
            if (output.vt != VT_UNKNOWN || output.punkVal == nullptr || FAILED(output.punkVal->QueryInterface(&stream)))
                return Fail(Failure::BadArgument,
                            "put_output needs an IStream as VT_UNKNOWN, not " + VariantTypeName(output.vt));
            output_.Attach(stream);
            return S_OK;
        });
    }

    HRESULT get_output(VARIANT* output) noexcept override { return ReturnObject(output_, output); }

    HRESULT transform(VARIANT_BOOL* done) noexcept override {
        if (done == nullptr) return Fail(Failure::NullPointer);
        *done = VARIANT_FALSE;
        return OnLargeStack([&] {
            const HRESULT result = Transform();
            if (SUCCEEDED(result)) {
                readyState_ = READYSTATE_COMPLETE;
                *done = VARIANT_TRUE;
            }
            return result;
        });
    }

    HRESULT reset() noexcept override {
        readyState_ = READYSTATE_LOADED;
        return S_OK;
    }

    HRESULT get_readyState(long* readyState) noexcept override {
        if (readyState == nullptr) return Fail(Failure::NullPointer);
        *readyState = readyState_;
        return S_OK;
    }

    HRESULT addParameter(BSTR baseName, VARIANT parameter, BSTR namespaceURI) noexcept override {
        return Guarded([&] {
            Parameter added;
            if (!Utf8FromWide(baseName, added.name) || !Utf8FromWide(namespaceURI, added.namespaceUri))
                return Fail(Failure::BadArgument, "The parameter's name or namespace is not valid UTF-16");
            if (xmlValidateNCName(reinterpret_cast<const xmlChar*>(added.name.c_str()), 0) != 0)
                return Fail(Failure::BadArgument, "The parameter name \"" + added.name + "\" is not an XML name");
            // libxslt takes a qualified parameter name as "{uri}name".
            if (added.namespaceUri.find('}') != std::string::npos)
                return Fail(Failure::BadArgument,
                            "The parameter namespace \"" + added.namespaceUri + "\" cannot hold a '}'");
            switch (parameter.vt) {
            case VT_BSTR:
                added.isString = true;
                if (!Utf8FromWide(parameter.bstrVal, added.value))
                    return Fail(Failure::BadArgument, "The value of parameter \"" + added.name + "\" is not valid UTF-16");
                break;
            case VT_I2: added.value = NumberExpression(parameter.iVal); break;
            case VT_I4: added.value = NumberExpression(parameter.lVal); break;
            case VT_R8: added.value = NumberExpression(parameter.dblVal); break;
            case VT_BOOL: added.value = parameter.boolVal != VARIANT_FALSE ? "true()" : "false()"; break;
            case VT_EMPTY:
            case VT_NULL:
                // No value withdraws the parameter.
                std::erase_if(parameters_, [&](const Parameter& p) { return p.SameName(added); });
                return S_OK;
            default:
                return Fail(Failure::BadArgument, "The value of parameter \"" + added.name +
                                                      "\" must be a string, a number or a boolean, not " +
                                                      VariantTypeName(parameter.vt));
            }
            for (Parameter& existing : parameters_) {
                if (existing.SameName(added)) {
                    existing = std::move(added);
                    return S_OK;
                }
            }
            parameters_.push_back(std::move(added));
            return S_OK;
        });
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXSLProcessor) ? S_OK : S_FALSE;
    }

private:
    struct Parameter {
        std::string name;
        std::string namespaceUri;
        // A string goes in as it is; anything else is an XPath expression of its value.
        bool isString = false;
        std::string value;

        bool SameName(const Parameter& other) const { return name == other.name && namespaceUri == other.namespaceUri; }
        std::string QualifiedName() const { return namespaceUri.empty() ? name : "{" + namespaceUri + "}" + name; }
    };

    template <class Interface>
    static HRESULT ReturnObject(const _com_ptr_t<Interface>& object, VARIANT* out) noexcept {
        if (out == nullptr) return Fail(Failure::NullPointer);
        VariantInit(out);
        if (object) {
            out->vt = VT_UNKNOWN;
            out->punkVal = object;
            out->punkVal->AddRef();
        }
        return S_OK;
    }

    HRESULT Transform() {
        std::shared_ptr<const LoadedTree> input;
        if (!input_ || FAILED(input_->GetTree(&input)))
            return Fail(Failure::NotReady, "The processor has no input: put_input has not been given a document");
        if (!input)
            return Fail(Failure::NotReady, "The input document holds nothing: it has not been loaded");
        if (!output_)
            return Fail(Failure::NotReady, "The processor has no output: put_output has not been given a stream");

        std::vector<std::string> folders;
        if (!compiled_->folder.empty()) folders.push_back(compiled_->folder);
        if (!input->folder.empty() && input->folder != compiled_->folder) folders.push_back(input->folder);
        CallRecord call(std::move(folders));
        for (const auto& [url, name] : compiled_->fileNames) call.NameFile(url, name);
        if (!input->url.empty()) call.NameFile(input->url, input->name);

        // Transformations read the source together, unless this one lets libxslt mark its nodes.
        // Held until the context is gone, since making and freeing it touches the source too.
        std::shared_lock<std::shared_mutex> readingTogether(input->readers, std::defer_lock);
        std::unique_lock<std::shared_mutex> readingAlone(input->readers, std::defer_lock);
        if (compiled_->marksSourceNodes)
            readingAlone.lock();
        else
            readingTogether.lock();

        xsltStylesheetPtr stylesheet = compiled_->stylesheet.get();
        xmlDocPtr source = input->tree.get();
        DocumentHandle sourceCopy;
        TransformContextHandle context(NewTransformContext(stylesheet, source));
        if (context && xsltNeedElemSpaceHandling(context.get()) != 0) {
            // xsl:strip-space removes text nodes from the source tree itself; the caller's
            // document stays as it was loaded.
            context.reset();
            sourceCopy.reset(xmlCopyDoc(source, 1));
            if (!sourceCopy) return Fail(Failure::NoMemory, call.Describe({}));
            source = sourceCopy.get();
            context.reset(NewTransformContext(stylesheet, source));
        }
        // Without its security preferences libxslt would allow writing; no transformation runs so.
        if (!context || TransformSecurity() == nullptr ||
            xsltSetCtxtSecurityPrefs(TransformSecurity(), context.get()) != 0)
            return Fail(Failure::NoMemory);
        const KeyTablesHandle keyTables = RegisterKeyFunctions(context.get());
        const GeneratedIdsHandle generatedIds = RegisterGenerateId(context.get());
        if (!keyTables || !generatedIds || !RegisterChildSumFunction(context.get()) ||
            !RegisterDocumentFunction(context.get()) ||
            !RegisterProcessingInstructionFunction(context.get()))
            return Fail(Failure::NoMemory);
        UseServiceSort(context.get());
        bool scriptsFailed = false;
        const ScriptSessionHandle scripts = StartScripts(context.get(), compiled_->scripts, &scriptsFailed);
        if (scriptsFailed) return Fail(Failure::NoMemory);

        for (const Parameter& parameter : parameters_) {
            const std::string name = parameter.QualifiedName();
            const auto* qualified = reinterpret_cast<const xmlChar*>(name.c_str());
            const auto* value = reinterpret_cast<const xmlChar*>(parameter.value.c_str());
            const int set = parameter.isString ? xsltQuoteOneUserParam(context.get(), qualified, value)
                                               : xsltEvalOneUserParam(context.get(), qualified, value);
            if (set != 0)
                return Fail(Failure::TransformFailed,
                            call.Describe("The parameter \"" + parameter.name + "\" cannot be set"));
        }

        NumberInDocumentOrder(*source);
        call.SetTransformation(context.get());
        const DocumentHandle result(xsltApplyStylesheetUser(stylesheet, source, nullptr, nullptr, nullptr, context.get()));
        call.SetTransformation(nullptr);
        if (call.BudgetExceeded()) return Fail(Failure::NoMemory, call.Describe({}));
        if (call.Refused()) return Fail(Failure::Refused, call.Describe({}));
        if (!result || !TransformSucceeded(context.get()))
            return Fail(Failure::TransformFailed, call.Describe("The transformation failed"));
        return Serialize(*result, call);
    }

    // Writes the result as the stylesheet's xsl:output asks, through a small buffer straight
    // into the output stream.
    HRESULT Serialize(xmlDoc& result, const CallRecord& call) {
        xsltStylesheetPtr stylesheet = compiled_->stylesheet.get();
        // An empty result is written as nothing at all, not even a declaration.
        if (result.children == nullptr) return S_OK;
        const xmlChar* encoding = OutputEncodingOf(stylesheet);
        EncoderHandle encoder;
        // UTF-8 is what libxml2 writes without an encoder.
        if (encoding != nullptr && xmlParseCharEncoding(reinterpret_cast<const char*>(encoding)) != XML_CHAR_ENCODING_UTF8) {
            encoder.reset(xmlFindCharEncodingHandler(reinterpret_cast<const char*>(encoding)));
            if (!encoder)
                return Fail(Failure::TransformFailed, "The output encoding \"" +
                                                          std::string(reinterpret_cast<const char*>(encoding)) +
                                                          "\" is not supported");
        }
        StreamSink sink{output_, S_OK, {}};
        OutputBufferHandle buffer(xmlOutputBufferCreateIO(WriteToStream, nullptr, &sink, encoder.get()));
        if (!buffer) return Fail(Failure::NoMemory);
        (void)encoder.release();  // the buffer closes it
        const int saved = xsltSaveResultTo(buffer.get(), &result, stylesheet);
        const int closed = xmlOutputBufferClose(buffer.release());
        if (call.BudgetExceeded()) return Fail(Failure::NoMemory, call.Describe({}));
        if (FAILED(sink.failure))
            return com::ReportError(sink.failure, "Writing the result to the output stream failed");
        if (saved < 0 || closed < 0)
            return Fail(Failure::TransformFailed, call.Describe("The result cannot be serialized"));
        return S_OK;
    }

    const _com_ptr_t<IXSLTemplate> owner_;
    const std::shared_ptr<CompiledStylesheet> compiled_;
    _com_ptr_t<IDocumentAccess> input_;
    _com_ptr_t<IUnknown> inputObject_;
    _com_ptr_t<IStream> output_;
    std::vector<Parameter> parameters_;
    long readyState_ = READYSTATE_LOADED;
};

}  // namespace

IXSLProcessor* NewProcessor(IXSLTemplate* owner, std::shared_ptr<CompiledStylesheet> compiled) {
    return new Processor(owner, std::move(compiled));
}

}  // namespace xmlservice
