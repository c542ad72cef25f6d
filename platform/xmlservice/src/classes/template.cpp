#include "classes/class_factory.h"
#include "classes/document_access.h"
#include "classes/method_support.h"
#include "classes/processor.h"
#include "engine/call_record.h"
#include "engine/library_setup.h"
#include "engine/libxslt_fields.h"
#include "linear/key_rewrite.h"

#include <libxml/tree.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>

#include <memory>
#include <utility>
#include <vector>

namespace xmlservice {
namespace {

class Template final : public com::Object<IXSLTemplate, ISupportErrorInfo> {
public:
    HRESULT putref_stylesheet(IXMLDOMNode* stylesheet) noexcept override {
        return OnLargeStack([&] {
            compiled_.reset();
            stylesheetNode_ = nullptr;
            if (stylesheet == nullptr)
                return Keep(Failure::BadArgument, "putref_stylesheet needs a document, not a null pointer");
            _com_ptr_t<IDocumentAccess> access;
            DocumentView view;
            if (FAILED(stylesheet->QueryInterface(&access)) || FAILED(access->GetView(&view)))
                return Keep(Failure::BadArgument, "The stylesheet is not a document of the XML service");
            stylesheetNode_ = stylesheet;
            if (view.tree == nullptr)
                return Keep(Failure::NotReady, "The stylesheet document holds nothing: it has not been loaded");

            std::vector<std::string> folders;
            if (!view.folder.empty()) folders.emplace_back(view.folder);
            CallRecord call(std::move(folders));
            // The modules it imports or includes are rewritten as the stylesheet itself.
            call.SetModulePreparation(RewriteFirstKeyCalls);
            if (!view.url.empty()) call.NameFile(std::string(view.url), std::string(view.name));
            // libxslt rewrites the tree it compiles, so it gets a copy; the document stays usable.
            DocumentHandle copy(xmlCopyDoc(view.tree, 1));
            if (!copy) return Keep(Failure::NoMemory, call.Describe({}));
            RewriteFirstKeyCalls(copy.get());
            StylesheetHandle compiled(xsltParseStylesheetDoc(copy.get()));
            // A compiled stylesheet owns its tree; after a failure libxslt leaves the tree to us.
            if (compiled) (void)copy.release();
            if (call.BudgetExceeded()) return Keep(Failure::NoMemory, call.Describe({}));
            if (call.Refused()) return Keep(Failure::Refused, call.Describe({}));
            if (!compiled || CompileErrorsOf(compiled.get()) > 0)
                return Keep(Failure::CompileFailed, call.Describe("The stylesheet cannot be compiled"));
            compiled_ = std::make_shared<CompiledStylesheet>(
                CompiledStylesheet{std::move(compiled), std::string(view.folder), call.FileNames()});
            compileFailure_.clear();
            return S_OK;
        });
    }

    HRESULT get_stylesheet(IXMLDOMNode** stylesheet) noexcept override {
        if (stylesheet == nullptr) return Fail(Failure::NullPointer);
        *stylesheet = stylesheetNode_;
        if (*stylesheet != nullptr) (*stylesheet)->AddRef();
        return S_OK;
    }

    HRESULT createProcessor(IXSLProcessor** processor) noexcept override {
        if (processor == nullptr) return Fail(Failure::NullPointer);
        *processor = nullptr;
        return Guarded([&] {
            if (!compiled_) {
                if (!compileFailure_.empty()) return com::ReportError(compileCode_, compileFailure_);
                return Fail(Failure::NotReady, "There is no stylesheet: putref_stylesheet has not been called");
            }
            *processor = NewProcessor(this, compiled_);
            return S_OK;
        });
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXSLTemplate) ? S_OK : S_FALSE;
    }

private:
    // Fails the call and keeps the failure for createProcessor.
    HRESULT Keep(Failure failure, std::string description) {
        const HRESULT code = Fail(failure, description);
        compileCode_ = code;
        compileFailure_ = description.empty() ? std::string("The stylesheet cannot be compiled") : std::move(description);
        return code;
    }

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
