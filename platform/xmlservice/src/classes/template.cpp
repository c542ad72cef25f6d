#include "classes/class_factory.h"
#include "classes/document_access.h"
#include "classes/method_support.h"
#include "classes/processor.h"
#include "engine/call_record.h"
#include "engine/library_setup.h"
#include "engine/libxslt_fields.h"
#include "xslt/conflicting_declarations.h"
#include "xslt/expression_rewrite.h"
#include "xslt/processing_instructions.h"
#include "xslt/scripts.h"
#include "xslt/value_of.h"

#include <libxml/tree.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace xmlservice {
namespace {

// What the service changes in each stylesheet module before libxslt compiles it.
void PrepareModule(xmlDoc* module) noexcept {
    RewriteExpressions(module);
    RewriteProcessingInstructions(module);
    KeepLastOfConflictingDeclarations(module);
    ScriptCollection::CollectFrom(module);
}

class Template final : public com::Object<IXSLTemplate, ISupportErrorInfo> {
public:
    HRESULT putref_stylesheet(IXMLDOMNode* stylesheet) noexcept override {
        return OnLargeStack([&] {
            Set(nullptr, nullptr, S_OK, {});
            if (stylesheet == nullptr)
                return Keep(nullptr, Failure::BadArgument, "putref_stylesheet needs a document, not a null pointer");
            _com_ptr_t<IDocumentAccess> access;
            std::shared_ptr<const LoadedTree> loaded;
            if (FAILED(stylesheet->QueryInterface(&access)) || FAILED(access->GetTree(&loaded)))
                return Keep(nullptr, Failure::BadArgument, "The stylesheet is not a document of the XML service");
            if (!loaded)
                return Keep(stylesheet, Failure::NotReady, "The stylesheet document holds nothing: it has not been loaded");

            std::vector<std::string> folders;
            if (!loaded->folder.empty()) folders.push_back(loaded->folder);
            CallRecord call(std::move(folders));
            // The modules it imports or includes are rewritten as the stylesheet itself, and their
            // script blocks collected.
            ScriptCollection scripts;
            call.SetModulePreparation(PrepareModule);
            if (!loaded->url.empty()) call.NameFile(loaded->url, loaded->name);
            // libxslt rewrites the tree it compiles, so it gets a copy; the document stays usable.
            DocumentHandle copy;
            {
                const std::shared_lock<std::shared_mutex> reading(loaded->readers);
                copy.reset(xmlCopyDoc(loaded->tree.get(), 1));
            }
            if (!copy) return Keep(stylesheet, Failure::NoMemory, call.Describe({}));
            PrepareModule(copy.get());
            StylesheetHandle compiled(xsltParseStylesheetDoc(copy.get()));
            // A compiled stylesheet owns its tree; after a failure libxslt leaves the tree to us.
            if (compiled) (void)copy.release();
            if (call.BudgetExceeded()) return Keep(stylesheet, Failure::NoMemory, call.Describe({}));
            if (call.Refused()) return Keep(stylesheet, Failure::Refused, call.Describe({}));
            if (!compiled || CompileErrorsOf(compiled.get()) > 0)
                return Keep(stylesheet, Failure::CompileFailed, call.Describe("The stylesheet cannot be compiled"));
            StylesheetScriptsPtr compiledScripts;
            const bool scriptsCompiled = scripts.Finish(call, compiledScripts);
            if (call.BudgetExceeded()) return Keep(stylesheet, Failure::NoMemory, call.Describe({}));
            if (!scriptsCompiled)
                return Keep(stylesheet, Failure::CompileFailed, call.Describe("The stylesheet cannot be compiled"));
            (void)ReadSimpleValueOfsDirectly(compiled.get());
            const bool marksSourceNodes = HasKeyPatterns(compiled.get());
            Set(std::make_shared<CompiledStylesheet>(CompiledStylesheet{std::move(compiled), loaded->folder,
                                                                        call.FileNames(), marksSourceNodes,
                                                                        std::move(compiledScripts)}),
                stylesheet, S_OK, {});
            return S_OK;
        });
    }

    HRESULT get_stylesheet(IXMLDOMNode** stylesheet) noexcept override {
        if (stylesheet == nullptr) return Fail(Failure::NullPointer);
        const std::lock_guard<std::mutex> lock(mutex_);
        *stylesheet = stylesheetNode_;
        if (*stylesheet != nullptr) (*stylesheet)->AddRef();
        return S_OK;
    }

    HRESULT createProcessor(IXSLProcessor** processor) noexcept override {
        if (processor == nullptr) return Fail(Failure::NullPointer);
        *processor = nullptr;
        return Guarded([&] {
            std::shared_ptr<CompiledStylesheet> compiled;
            HRESULT compileCode = S_OK;
            std::string compileFailure;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                compiled = compiled_;
                compileCode = compileCode_;
                compileFailure = compileFailure_;
            }
            if (!compiled) {
                if (!compileFailure.empty()) return com::ReportError(compileCode, compileFailure);
                return Fail(Failure::NotReady, "There is no stylesheet: putref_stylesheet has not been called");
            }
            *processor = NewProcessor(this, std::move(compiled));
            return S_OK;
        });
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXSLTemplate) ? S_OK : S_FALSE;
    }

private:
    // Fails the call and keeps the failure for createProcessor.
    HRESULT Keep(IXMLDOMNode* stylesheet, Failure failure, std::string description) {
        const HRESULT code = Fail(failure, description);
        Set(nullptr, stylesheet, code,
            description.empty() ? std::string("The stylesheet cannot be compiled") : std::move(description));
        return code;
    }

    void Set(std::shared_ptr<CompiledStylesheet> compiled, IXMLDOMNode* stylesheet, HRESULT code,
             std::string failure) {
        _com_ptr_t<IXMLDOMNode> previous;
        std::shared_ptr<CompiledStylesheet> replaced;
        const std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::exchange(compiled_, std::move(compiled));
        previous = std::exchange(stylesheetNode_, stylesheet);
        compileCode_ = code;
        compileFailure_ = std::move(failure);
    }

    // A template may be shared between threads: each of them compiles, or makes processors.
    std::mutex mutex_;
    std::shared_ptr<CompiledStylesheet> compiled_;
    _com_ptr_t<IXMLDOMNode> stylesheetNode_;
    HRESULT compileCode_ = S_OK;
    std::string compileFailure_;
};

}  // namespace

HRESULT CreateTemplate(REFIID iid, void** object) noexcept {
    PrepareLibraries();
    return com::CreateObject<Template>(iid, object);
}

}  // namespace xmlservice
