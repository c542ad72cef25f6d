#include "call.h"

#include "budget.h"
#include "files.h"
#include "key_rewrite.h"
#include "libxslt_fields.h"

#include <libexslt/exslt.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxslt/documents.h>
#include <libxslt/extensions.h>
#include <libxslt/extra.h>
#include <libxslt/security.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace xmlservice {
namespace {

thread_local CallRecord* tCurrentRecord = nullptr;

// Parsing never touches the network, and external DTDs are not asked for. Internal entities
// are expanded; external ones reach the entity loader, which refuses them all. Attribute
// defaults of the internal subset are applied, as XML requires. Short texts are kept inside
// their nodes. XML_PARSE_HUGE lifts libxml2's limits on the length of a single text, value or
// name, which the memory budget covers; ParseHooks takes it back as soon as a document declares
// entities or nests deep, so that the limits on entity expansion and depth stay.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOCDATA | XML_PARSE_DTDATTR | XML_PARSE_COMPACT | XML_PARSE_HUGE;

// Nesting deeper than this keeps libxml2's own limit of 256 levels.
constexpr int kDepthOfPlainLimits = 200;

// The parse of one document, with the SAX2 handlers of libxml2 that it wraps. The parser reads
// xmlParserCtxt::options at each of its limit checks (libxml2 2.9.14 to 2.15), so clearing
// XML_PARSE_HUGE there puts the plain limits back for the rest of the parse.
struct ParseHooks {
    startElementNsSAX2Func startElement = nullptr;
    endElementNsSAX2Func endElement = nullptr;
    entityDeclSAXFunc declareEntity = nullptr;
    elementDeclSAXFunc declareElement = nullptr;
    int depth = 0;
};
thread_local ParseHooks* tHooks = nullptr;

void KeepPlainLimits(void* context) noexcept { static_cast<xmlParserCtxtPtr>(context)->options &= ~XML_PARSE_HUGE; }

void StartElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                  int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaultedCount,
                  const xmlChar** attributes) {
    ParseHooks& hooks = *tHooks;
    if (++hooks.depth == kDepthOfPlainLimits) KeepPlainLimits(context);
    hooks.startElement(context, localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaultedCount,
                       attributes);
}

void EndElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
    ParseHooks& hooks = *tHooks;
    --hooks.depth;
    hooks.endElement(context, localName, prefix, uri);
}

void DeclareEntity(void* context, const xmlChar* name, int type, const xmlChar* publicId, const xmlChar* systemId,
                   xmlChar* content) {
    KeepPlainLimits(context);
    tHooks->declareEntity(context, name, type, publicId, systemId, content);
}

void DeclareElement(void* context, const xmlChar* name, int type, xmlElementContentPtr content) {
    KeepPlainLimits(context);
    tHooks->declareElement(context, name, type, content);
}

int ReadFromFile(void* file, char* buffer, int length) {
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(length), static_cast<std::FILE*>(file));
    if (got == 0 && std::ferror(static_cast<std::FILE*>(file)) != 0) return -1;
    return static_cast<int>(got);
}

// A description stays readable on a console: at most this many messages of at most this many
// bytes each.
constexpr std::size_t kMostMessages = 10;
constexpr std::size_t kLongestMessage = 1000;
// What a record keeps, so that a stylesheet sending endless or huge messages costs little
// memory outside the budget: at most this many messages of at most this many bytes each. Kept
// longer than shown, because file names replace URLs only when the description is made.
constexpr std::size_t kMostKept = 1000;
constexpr std::size_t kLongestKept = 4 * kLongestMessage;
// A formatted message longer than this is cut; its line ends there.
constexpr std::size_t kLongestFormatted = 64 * 1024;

// Cuts `text` to `longest` bytes, between UTF-8 sequences.
std::string Shortened(std::string text, std::size_t longest = kLongestMessage) {
    if (text.size() <= longest) return text;
    std::size_t end = longest;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text + "...";
}

// Control characters become spaces, runs of spaces one space, and the ends are trimmed.
std::string OneLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const bool isSpace = static_cast<unsigned char>(c) < 0x20 || c == ' ' || c == '\x7F';
        if (isSpace) {
            if (!line.empty() && line.back() != ' ') line.push_back(' ');
        } else {
            line.push_back(c);
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// libxml2 raises some of the messages that it names warnings at the level of errors, among them
// namespace names that are no valid URIs; like every warning they never fail a parse. An
// undeclared entity, named a warning too, leaves a reference without its text and stays an error.
bool IsWarningByItsCode(const xmlError& error) noexcept {
    switch (error.code) {
    case XML_WAR_CATALOG_PI:
    case XML_WAR_UNKNOWN_VERSION:
    case XML_WAR_LANG_VALUE:
    case XML_WAR_NS_URI:
    case XML_WAR_NS_URI_RELATIVE:
    case XML_WAR_SPACE_VALUE:
    case XML_WAR_NS_COLUMN:
    case XML_WAR_ENTITY_REDEFINED:
        return true;
    default:
        return false;
    }
}

// libxslt puts a line saying where an error happened in front of the error itself.
bool IsContextLine(std::string_view line) noexcept {
    return line.starts_with("compilation error: ") || line.starts_with("runtime error: ") ||
           line.starts_with("compilation warning: ") || line.starts_with("runtime warning: ");
}

void CollectText(void*, const char* format, ...) {
    CallRecord* call = CallRecord::Current();
    if (call == nullptr || format == nullptr) return;
    char buffer[1024];
    va_list arguments;
    va_start(arguments, format);
    if (std::string_view(format) == "%s") {
        // xsl:message comes this way, with text of any size; it is taken without a copy.
        const char* text = va_arg(arguments, const char*);
        va_end(arguments);
        call->AddText(text != nullptr ? text : "");
        return;
    }
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        call->AddText(std::string_view(buffer, static_cast<std::size_t>(length)));
    } else if (static_cast<std::size_t>(length) > kLongestFormatted) {
        call->AddText(std::string_view(buffer, sizeof buffer - 1));
        call->AddText("\n");
    } else if (length >= 0) {
        try {
            std::string text(static_cast<std::size_t>(length) + 1, '\0');
            std::vsnprintf(text.data(), text.size(), format, copy);
            text.pop_back();
            call->AddText(text);
        } catch (...) {
            call->AddText(std::string_view(buffer, sizeof buffer - 1));
        }
    }
    va_end(copy);
}

// Takes whichever error type the library's structured handlers take: a pointer to a constant
// error since libxml2 2.12, a plain pointer before.
template <class Handler>
struct ErrorArgumentOf;
template <class Error>
struct ErrorArgumentOf<void (*)(void*, Error)> {
    using type = Error;
};

void CollectError(void*, ErrorArgumentOf<xmlStructuredErrorFunc>::type error) {
    CallRecord* call = CallRecord::Current();
    if (call != nullptr && error != nullptr) call->AddError(*error);
}

void IgnoreText(void*, const char*, ...) {}

void Stop(xsltTransformContextPtr context) noexcept { StopTransform(context); }

xmlParserInputPtr RefuseExternalEntity(const char* url, const char* id, xmlParserCtxtPtr) {
    CallRecord* call = CallRecord::Current();
    if (call == nullptr) return nullptr;
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
    if (call != nullptr && call->MayRead(path != nullptr ? path : "")) return 1;
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
            call->Add({"\"" + location + "\" is not a file location that can be read"});
            return nullptr;
        case UriKind::LocalFile:
            break;
        }
        if (!call->MayRead(path)) {
            Stop(context);
            return nullptr;
        }
        ReadableFile file;
        int error = 0;
        if (!file.Open(path, error)) {
            call->Add({"The file \"" + path + "\" cannot be read: " + std::generic_category().message(error)});
            return nullptr;
        }
        if (location != path) call->NameFile(location, path);
        DocumentHandle document = ParseDocument(*call, {file.Stream(), {}}, location, dictionary);
        if (!document && call->Refused()) Stop(context);
        // Modules are compiled like the main stylesheet, so they get the same rewrite.
        if (document && type == XSLT_LOAD_STYLESHEET) RewriteFirstKeyCalls(document.get());
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

// What the libraries set up lasts as long as the process; it is given back at its end, so
// that a leak checker finds nothing left.
void ReleaseLibraries() {
    xsltCleanupGlobals();
    xmlCleanupParser();
}

}  // namespace

void RouteThreadMessages() noexcept {
    xmlSetGenericErrorFunc(nullptr, CollectText);
    xmlSetStructuredErrorFunc(nullptr, CollectError);
}

_xsltSecurityPrefs* TransformSecurity() noexcept {
    static const SecurityHolder holder;
    return holder.prefs.get();
}

void PrepareLibraries() noexcept {
    static const bool prepared = [] {
        // Before the libraries' first allocation, so that all of them are counted.
        InstallBudget();
        xmlInitParser();
        RouteThreadMessages();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
        xsltInit();
        xsltSetGenericErrorFunc(nullptr, CollectText);
        xsltSetGenericDebugFunc(nullptr, IgnoreText);
        xsltSetLoaderFunc(LoadCheckedDocument);
        // include and import are checked under the default preferences.
        xsltSetDefaultSecurityPrefs(TransformSecurity());
        exsltRegisterAll();
        xsltRegisterExtModuleFunction(BAD_CAST "node-set", BAD_CAST "urn:schemas-microsoft-com:xslt",
                                      xsltFunctionNodeSet);
        std::atexit(ReleaseLibraries);
        return true;
    }();
    (void)prepared;
}

CallRecord::CallRecord(std::vector<std::string> readableFolders) noexcept
    : readableFolders_(std::move(readableFolders)), previous_(tCurrentRecord) {
    PrepareLibraries();
    RouteThreadMessages();
    tCurrentRecord = this;
}

CallRecord::~CallRecord() { tCurrentRecord = previous_; }

CallRecord* CallRecord::Current() noexcept { return tCurrentRecord; }

void CallRecord::Add(Report report) noexcept {
    try {
        Keep(std::move(report));
    } catch (...) {
    }
}

void CallRecord::AddText(std::string_view text) noexcept {
    try {
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            if (pending_.size() <= kLongestKept)
                pending_.append(text.substr(0, std::min(end, kLongestKept + 1 - pending_.size())));
            if (end == std::string_view::npos) break;
            text.remove_prefix(end + 1);
            std::string line = OneLine(std::exchange(pending_, {}));
            // After an endless recursion libxslt lists the template and variable stacks; they
            // would bury the error itself.
            if (line == "Templates:") inBacktrace_ = true;
            if (!inBacktrace_ && !line.empty()) Keep({std::move(line)});
        }
    } catch (...) {
    }
}

void CallRecord::AddError(const _xmlError& error) noexcept {
    try {
        Report report;
        report.text = OneLine(error.message != nullptr ? error.message : "Unknown error");
        if (error.domain == XML_FROM_XPATH && error.str1 != nullptr)
            report.text += " in \"" + OneLine(error.str1) + "\"";
        report.isParserError = activeParser_ != nullptr && error.level >= XML_ERR_ERROR && !IsWarningByItsCode(error);
        if (error.line > 0) {
            report.line = error.line;
            report.column = error.int2;
            // Errors inside entity text carry no file; they still belong to the document parsed.
            std::string_view file = activeParser_ != nullptr ? std::string_view(activeUrl_) : std::string_view();
            if (error.file != nullptr) file = error.file;
            report.text += Place(file, report.line, report.column);
        }
        Keep(std::move(report));
    } catch (...) {
    }
}

void CallRecord::ExceedBudget() noexcept {
    budgetExceeded_ = true;
    Stop(transformation_);
}

void CallRecord::Refuse(std::string reason) noexcept {
    try {
        refusals_.push_back(reason.empty() ? std::string("An access was refused") : std::move(reason));
    } catch (...) {
        // Even without memory for the reason the call must fail.
        refusals_.resize(refusals_.size() + 1);
    }
}

void CallRecord::NameFile(std::string url, std::string name) noexcept {
    try {
        fileNames_.emplace_back(std::move(url), std::move(name));
    } catch (...) {
    }
}

std::size_t CallRecord::ParserErrorCount() const noexcept { return parserErrors_; }

const Report* CallRecord::FirstParserError() const noexcept {
    for (const Report& report : reports_)
        if (report.isParserError) return &report;
    return nullptr;
}

std::string CallRecord::Describe(std::string_view fallback) const {
    // Whatever else went wrong then followed from the memory running out.
    if (budgetExceeded_) return BudgetExceededDescription();
    std::vector<std::string> lines;
    if (Refused()) {
        for (const std::string& refusal : refusals_)
            if (!refusal.empty()) lines.push_back(refusal);
    } else {
        std::vector<std::string> messages;
        for (const Report& report : reports_) messages.push_back(report.text);
        if (!inBacktrace_) messages.push_back(OneLine(pending_));
        std::string context;
        for (std::string& message : messages) {
            message = OneLine(WithNames(std::move(message)));
            if (message.empty() || message == "error" || message == "warning") continue;
            if (IsContextLine(message)) {
                if (!context.empty()) lines.push_back(context);
                context = std::move(message);
                continue;
            }
            if (!context.empty()) message = std::exchange(context, {}) + ": " + message;
            if (lines.empty() || lines.back() != message) lines.push_back(std::move(message));
        }
        if (!context.empty()) lines.push_back(std::move(context));
    }
    if (lines.empty()) return std::string(fallback);
    std::string description;
    const std::size_t shown = std::min(lines.size(), kMostMessages);
    for (std::size_t i = 0; i < shown; ++i) description += (i == 0 ? "" : "; ") + Shortened(std::move(lines[i]));
    const std::size_t more = lines.size() - shown + (Refused() ? 0 : droppedReports_);
    if (more > 0) description += "; and " + std::to_string(more) + " more messages";
    return description;
}

bool CallRecord::MayRead(std::string_view path) noexcept {
    try {
        const std::string named(path);
        if (readableFolders_.empty()) {
            Refuse("Reading \"" + named + "\" is refused: no folder is open to reading, as the documents were not "
                   "loaded from files");
            return false;
        }
        if (named.empty() || named.front() != '/') {
            Refuse("Reading \"" + named + "\" is refused: the location has no folder");
            return false;
        }
        const std::string resolved = ResolvedPath(named);
        for (const std::string& folder : readableFolders_)
            if (!resolved.empty() && IsInside(resolved, folder)) return true;
        std::string folders;
        for (const std::string& folder : readableFolders_) folders += (folders.empty() ? "\"" : " or \"") + folder + "\"";
        std::string reason = "Reading \"" + named + "\" is refused: only files inside " + folders + " may be read";
        if (!resolved.empty() && resolved != named) reason += " (it resolves to \"" + resolved + "\")";
        Refuse(std::move(reason));
    } catch (...) {
        Refuse({});
    }
    return false;
}

void CallRecord::SetActiveParser(const void* parser, std::string_view url) noexcept {
    activeParser_ = parser;
    try {
        activeUrl_.assign(url);
    } catch (...) {
        activeUrl_.clear();
    }
}

std::string CallRecord::ActiveParserPlace() const {
    const auto parser = static_cast<const xmlParserCtxt*>(activeParser_);
    if (parser == nullptr || parser->input == nullptr) return {};
    return Place(activeUrl_, parser->input->line, parser->input->col);
}

void CallRecord::Keep(Report report) {
    if (report.isParserError) ++parserErrors_;
    if (reports_.size() >= kMostKept) {
        ++droppedReports_;
        return;
    }
    if (report.text.size() > kLongestKept) report.text = Shortened(std::move(report.text), kLongestKept);
    reports_.push_back(std::move(report));
}

std::string CallRecord::Place(std::string_view url, long line, long column) const {
    std::string place = " (";
    if (!url.empty()) {
        std::string name = DisplayFromUrl(url);
        for (const auto& [known, shown] : fileNames_)
            if (known == url) name = shown;
        place += name + ", ";
    }
    place += "line " + std::to_string(line);
    if (column > 0) place += ", column " + std::to_string(column);
    return place + ")";
}

std::string CallRecord::WithNames(std::string text) const {
    std::vector<std::pair<std::string, std::string>> names = fileNames_;
    std::sort(names.begin(), names.end(),
              [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [url, name] : names) {
        if (url.empty()) continue;
        for (std::size_t at = text.find(url); at != std::string::npos; at = text.find(url, at + name.size()))
            text.replace(at, url.size(), name);
    }
    return text;
}

DocumentHandle ParseDocument(CallRecord& call, const DocumentText& text, const std::string& url,
                             _xmlDict* dictionary) {
    if (text.utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        call.Add({"The document is too large to be parsed", true});
        return {};
    }
    const ParserContextHandle parser(xmlNewParserCtxt());
    if (!parser || parser->sax == nullptr) {
        call.Add({"Not enough memory to parse the document", true});
        return {};
    }
    if (dictionary != nullptr && parser->dict != nullptr) {
        // Stylesheet modules must share the dictionary of the stylesheet that includes them; the
        // parser takes its dictionary from xmlParserCtxt::dict (libxml2 2.9.14 to 2.15).
        xmlDictFree(parser->dict);
        parser->dict = dictionary;
        xmlDictReference(parser->dict);
    }
    ParseHooks hooks;
    xmlSAXHandler& sax = *parser->sax;
    if (sax.startElementNs == nullptr || sax.endElementNs == nullptr || sax.entityDecl == nullptr ||
        sax.elementDecl == nullptr) {
        call.Add({"The parser lacks its handlers", true});
        return {};
    }
    hooks.startElement = std::exchange(sax.startElementNs, StartElement);
    hooks.endElement = std::exchange(sax.endElementNs, EndElement);
    hooks.declareEntity = std::exchange(sax.entityDecl, DeclareEntity);
    hooks.declareElement = std::exchange(sax.elementDecl, DeclareElement);
    // No external subset is ever read, not even for the attribute defaults it may declare.
    sax.externalSubset = nullptr;
    ParseHooks* const outerHooks = std::exchange(tHooks, &hooks);

    const std::size_t errorsBefore = call.ParserErrorCount();
    call.SetActiveParser(parser.get(), url);
    const char* const base = url.empty() ? nullptr : url.c_str();
    DocumentHandle document;
    if (text.file != nullptr) {
        document.reset(xmlCtxtReadIO(parser.get(), ReadFromFile, nullptr, text.file, base, nullptr, kParseOptions));
    } else {
        static constexpr char kNothing[] = "";
        document.reset(xmlCtxtReadMemory(parser.get(), text.utf8.empty() ? kNothing : text.utf8.data(),
                                         static_cast<int>(text.utf8.size()), base, "UTF-8",
                                         kParseOptions | XML_PARSE_IGNORE_ENC));
    }
    call.SetActiveParser(nullptr, {});
    tHooks = outerHooks;
    if (call.BudgetExceeded()) return {};
    // libxml2 goes on after a refused external entity and after an undeclared entity; neither
    // may pass unnoticed.
    if (!document || call.Refused() || call.ParserErrorCount() > errorsBefore) {
        if (call.ParserErrorCount() == errorsBefore && !call.Refused())
            call.Add({"The document cannot be parsed", true});
        return {};
    }
    return document;
}

}  // namespace xmlservice
