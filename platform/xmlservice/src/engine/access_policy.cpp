#include "engine/access_policy.h"

#include "engine/call_record.h"
#include "engine/files.h"
#include "engine/handles.h"
#include "engine/libxslt_fields.h"
#include "engine/parsing.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxslt/documents.h>
#include <libxslt/security.h>
#include <libxslt/xsltInternals.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace xmlservice {
namespace {

// The module reads one compile may take. A chain of a few hundred imports takes as many.
constexpr std::size_t kMostModuleReads = 2000;

void Stop(xsltTransformContextPtr context) noexcept { StopTransform(context); }

xmlParserInputPtr RefuseExternalEntity(const char* url, const char* id, xmlParserCtxtPtr) {
    CallRecord* call = CallRecord::Current();
    if (call == nullptr) return nullptr;
    if (call->RefusalsFull()) {
        // The same refusal again: counted, not worded.
        call->Refuse({});
        return nullptr;
    }
    try {
        const char* named = url != nullptr ? url : id != nullptr ? id : "";
        call->Refuse("The external entity \"" + DisplayFromUrl(named) +
                     "\" is refused: external entities and DTDs are never loaded" + call->ActiveParserPlace());
    } catch (...) {
        call->Refuse({});
    }
    return nullptr;
}

int CheckReadFile(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* path) {
    CallRecord* call = CallRecord::Current();
    if (call != nullptr && MayRead(*call, path != nullptr ? path : "")) return 1;
    Stop(context);
    return 0;
}

int RefuseAccess(xsltTransformContextPtr context, const char* what, const char* target, const char* why) {
    if (CallRecord* call = CallRecord::Current()) {
        try {
            call->Refuse(std::string(what) + " \"" + (target != nullptr ? target : "") + "\" is refused: " + why);
        } catch (...) {
            call->Refuse({});
        }
    }
    Stop(context);
    return 0;
}

int RefuseWriteFile(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* path) {
    return RefuseAccess(context, "Writing the file", path, "a transformation may not write files");
}
int RefuseCreateDirectory(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* path) {
    return RefuseAccess(context, "Creating the directory", path, "a transformation may not create directories");
}
int RefuseReadNetwork(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* url) {
    return RefuseAccess(context, "Reading", url, "there is no network access");
}
int RefuseWriteNetwork(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* url) {
    return RefuseAccess(context, "Writing to", url, "there is no network access");
}

// document() of a resource that cannot be retrieved stops the transformation, naming the
// resource and why, where libxslt would warn and go on with an empty node-set.
xmlDocPtr FailDocument(CallRecord& call, xsltTransformContextPtr context, const std::string& resource,
                       const std::string& why) {
    call.Refuse("The document \"" + resource + "\" named in document() cannot be retrieved: " + why);
    Stop(context);
    return nullptr;
}

std::string ReasonOfOpenFailure(const OpenError& error) {
    if (error.notRegular != nullptr) return std::string("it is not a regular file (it is ") + error.notRegular + ")";
    switch (error.number) {
    case ENOENT:
    case ENOTDIR:
        return "it does not exist";
    case EISDIR:
        return "it is not a regular file";
    default:
        return "it cannot be read (" + std::generic_category().message(error.number) + ")";
    }
}

// Every file that xsl:include, xsl:import and document() ask for comes through here, after
// libxslt's own security check; it is checked again because this is where it is read.
xmlDocPtr LoadCheckedDocument(const xmlChar* uri, xmlDictPtr dictionary, int, void* caller, xsltLoadType type) {
    CallRecord* call = CallRecord::Current();
    if (call == nullptr || uri == nullptr) return nullptr;
    const auto context = type == XSLT_LOAD_DOCUMENT ? static_cast<xsltTransformContextPtr>(caller) : nullptr;
    try {
        const std::string location(reinterpret_cast<const char*>(uri));
        std::string path;
        switch (PathFromUri(location, path)) {
        case UriKind::Remote:
            RefuseReadNetwork(nullptr, context, location.c_str());
            return nullptr;
        case UriKind::Invalid:
            if (context != nullptr) return FailDocument(*call, context, location, "it is not a file location");
            call->Add({"\"" + location + "\" is not a file location that can be read"});
            return nullptr;
        case UriKind::LocalFile:
            break;
        }
        if (!MayRead(*call, path)) {
            Stop(context);
            return nullptr;
        }
        // Modules that import or include the same modules again, level after level, would make
        // the compile read exponentially many; a stylesheet never needs this many.
        if (type == XSLT_LOAD_STYLESHEET && call->CountModuleRead() > kMostModuleReads) {
            call->Refuse(call->RefusalsFull() ? std::string()
                                              : "Compiling the stylesheet needs more than " +
                                                    std::to_string(kMostModuleReads) +
                                                    " reads of its imported and included modules; it is refused");
            return nullptr;
        }
        ReadableFile file;
        OpenError error;
        if (!file.Open(path, error)) {
            if (context != nullptr) return FailDocument(*call, context, path, ReasonOfOpenFailure(error));
            call->Add({OpenFailureReason(path, error)});
            return nullptr;
        }
        if (location != path) call->NameFile(location, path);
        DocumentHandle document = ParseDocument(*call, {file.Stream(), {}}, location, dictionary);
        if (!document && context != nullptr && !call->Refused() && !call->BudgetExceeded()) {
            std::string why = "it is not well-formed";
            if (const Report* first = call->FirstParserError()) why += " (" + first->text + ")";
            return FailDocument(*call, context, path, why);
        }
        if (!document && call->Refused()) Stop(context);
        // Modules are compiled like the main stylesheet, so they are prepared the same way.
        if (document && type == XSLT_LOAD_STYLESHEET) call->PrepareModule(document.get());
        return document.release();
    } catch (...) {
        call->Add({"Not enough memory to load a document"});
        Stop(context);
        return nullptr;
    }
}

struct SecurityHolder {
    SecurityHolder() : prefs(xsltNewSecurityPrefs()) {
        if (!prefs) return;
        xsltSetSecurityPrefs(prefs.get(), XSLT_SECPREF_READ_FILE, CheckReadFile);
        xsltSetSecurityPrefs(prefs.get(), XSLT_SECPREF_WRITE_FILE, RefuseWriteFile);
        xsltSetSecurityPrefs(prefs.get(), XSLT_SECPREF_CREATE_DIRECTORY, RefuseCreateDirectory);
        xsltSetSecurityPrefs(prefs.get(), XSLT_SECPREF_READ_NETWORK, RefuseReadNetwork);
        xsltSetSecurityPrefs(prefs.get(), XSLT_SECPREF_WRITE_NETWORK, RefuseWriteNetwork);
    }
    ~SecurityHolder() {
        if (xsltGetDefaultSecurityPrefs() == prefs.get()) xsltSetDefaultSecurityPrefs(nullptr);
    }
    SecurityHolder(const SecurityHolder&) = delete;
    SecurityHolder& operator=(const SecurityHolder&) = delete;

    SecurityPrefsHandle prefs;
};

}  // namespace

_xsltSecurityPrefs* TransformSecurity() noexcept {
    static const SecurityHolder holder;
    return holder.prefs.get();
}

void InstallAccessPolicy() noexcept {
    xmlSetExternalEntityLoader(RefuseExternalEntity);
    xsltSetLoaderFunc(LoadCheckedDocument);
    // include and import are checked under the default preferences.
    xsltSetDefaultSecurityPrefs(TransformSecurity());
}

bool MayRead(CallRecord& call, std::string_view path) noexcept {
    try {
        const std::string named(path);
        if (call.ReadableFolders().empty()) {
            call.Refuse("Reading \"" + named + "\" is refused: no folder is open to reading, as the documents were not "
                   "loaded from files");
            return false;
        }
        if (named.empty() || named.front() != '/') {
            call.Refuse("Reading \"" + named + "\" is refused: the location has no folder");
            return false;
        }
        const std::string resolved = ResolvedPath(named);
        for (const std::string& folder : call.ReadableFolders())
            if (!resolved.empty() && IsInside(resolved, folder)) return true;
        std::string folders;
        for (const std::string& folder : call.ReadableFolders()) folders += (folders.empty() ? "\"" : " or \"") + folder + "\"";
        std::string reason = "Reading \"" + named + "\" is refused: only files inside " + folders + " may be read";
        if (!resolved.empty() && resolved != named) reason += " (it resolves to \"" + resolved + "\")";
        call.Refuse(std::move(reason));
    } catch (...) {
        call.Refuse({});
    }
    return false;
}

}  // namespace xmlservice
