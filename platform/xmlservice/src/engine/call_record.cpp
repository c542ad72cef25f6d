#include "engine/call_record.h"

#include "engine/budget.h"
#include "engine/files.h"
#include "engine/libxslt_fields.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace xmlservice {
namespace {

thread_local CallRecord* tCurrentRecord = nullptr;

// A description stays readable on a console: at most this many messages of at most this many
// bytes each.
constexpr std::size_t kMostMessages = 10;
constexpr std::size_t kLongestMessage = 1000;
// What a record keeps, so that a stylesheet sending endless or huge messages costs little
// memory outside the budget: at most this many messages of at most this many bytes each. Kept
// longer than shown, because file names replace URLs only when the description is made.
constexpr std::size_t kMostKept = 1000;
// A refusal repeated many times is one fault; the first reasons tell it.
constexpr std::size_t kMostRefusals = 100;
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
// Another prefix bound to the xml namespace is a namespace error that libxml2 recovers from by
// leaving the declaration out; documents do bind one, so it fails no load either. The same code
// stands for the xml prefix bound elsewhere and for the xmlns prefix declared, which stay errors,
// so the message tells them apart (the same words in libxml2 2.9.14 to 2.15).
bool IsWarningByItsCode(const xmlError& error) noexcept {
    if (error.code == XML_NS_ERR_XML_NAMESPACE)
        return error.message != nullptr && std::strstr(error.message, "xml namespace URI mapped to wrong prefix") != nullptr;
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
    if (length < 0) {
        // The format could not be applied; the buffer holds nothing to rely on.
        call->AddText("A message of the libraries could not be formatted\n");
    } else if (static_cast<std::size_t>(length) < sizeof buffer) {
        call->AddText(std::string_view(buffer, static_cast<std::size_t>(length)));
    } else if (static_cast<std::size_t>(length) > kLongestFormatted) {
        call->AddText(std::string_view(buffer, sizeof buffer - 1));
        call->AddText("\n");
    } else {
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

}  // namespace

void RouteThreadMessages() noexcept {
    xmlSetGenericErrorFunc(nullptr, CollectText);
    xmlSetStructuredErrorFunc(nullptr, CollectError);
}

void RouteLibxsltMessages() noexcept {
    xsltSetGenericErrorFunc(nullptr, CollectText);
    xsltSetGenericDebugFunc(nullptr, IgnoreText);
}

void ExceedBudgetOfCurrentCall() noexcept {
    if (CallRecord* call = CallRecord::Current()) call->ExceedBudget();
}

CallRecord::CallRecord(std::vector<std::string> readableFolders) noexcept
    : readableFolders_(std::move(readableFolders)), previous_(tCurrentRecord) {
    // The handlers are the thread's, and the thread is the caller's: what the caller had set
    // for its own use of libxml2 comes back when the call ends.
    if (previous_ == nullptr) {
        callersHandlers_.generic = reinterpret_cast<void (*)()>(xmlGenericError);
        callersHandlers_.genericContext = xmlGenericErrorContext;
        callersHandlers_.structured = reinterpret_cast<void (*)()>(xmlStructuredError);
        callersHandlers_.structuredContext = xmlStructuredErrorContext;
    }
    RouteThreadMessages();
    tCurrentRecord = this;
}

CallRecord::~CallRecord() {
    tCurrentRecord = previous_;
    if (previous_ != nullptr) return;
    xmlSetGenericErrorFunc(callersHandlers_.genericContext,
                           reinterpret_cast<xmlGenericErrorFunc>(callersHandlers_.generic));
    xmlSetStructuredErrorFunc(callersHandlers_.structuredContext,
                              reinterpret_cast<xmlStructuredErrorFunc>(callersHandlers_.structured));
}

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
    const bool isParserError = activeParser_ != nullptr && error.level >= XML_ERR_ERROR && !IsWarningByItsCode(error);
    if (reports_.size() >= kMostKept) {
        // A flood of messages costs a count each, not their wording.
        if (isParserError) ++parserErrors_;
        ++droppedReports_;
        return;
    }
    try {
        Report report;
        report.text = OneLine(error.message != nullptr ? error.message : "Unknown error");
        // XPath's bare "Invalid type" comes, in XSLT, mostly from a result tree fragment used as
        // a node-set, which XSLT 1.0 forbids and msxsl:node-set() allows.
        if (error.domain == XML_FROM_XPATH && error.code == XML_XPATH_INVALID_TYPE)
            report.text = "The expression must evaluate to a node-set: a result tree fragment is not a node-set "
                          "(msxsl:node-set() makes one of it)";
        if (error.domain == XML_FROM_XPATH && error.str1 != nullptr)
            report.text += " in \"" + OneLine(error.str1) + "\"";
        report.isParserError = isParserError;
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
    StopTransform(transformation_);
}

void CallRecord::Refuse(std::string reason) noexcept {
    ++refusalCount_;
    if (RefusalsFull()) return;
    try {
        std::string kept =
            reason.empty() ? std::string("An access was refused") : Shortened(std::move(reason), kLongestKept);
        // The same refusal again, as a cap refuses every read after it, says nothing new.
        if (std::find(refusals_.begin(), refusals_.end(), kept) != refusals_.end()) {
            ++repeatedRefusals_;
            return;
        }
        refusals_.push_back(std::move(kept));
    } catch (...) {
        // Without memory for the reason the call still fails, as refusalCount_ says.
    }
}

bool CallRecord::RefusalsFull() const noexcept { return refusals_.size() >= kMostRefusals; }

void CallRecord::NameFile(std::string url, std::string name) noexcept {
    try {
        fileNames_.insert_or_assign(std::move(url), std::move(name));
    } catch (...) {
    }
}

std::size_t CallRecord::KeptBytes() const noexcept {
    std::size_t kept = pending_.size();
    for (const Report& report : reports_) kept += report.text.size();
    for (const std::string& refusal : refusals_) kept += refusal.size();
    for (const auto& [url, name] : fileNames_) kept += url.size() + name.size();
    return kept;
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
    std::size_t unkept = droppedReports_;
    if (Refused()) {
        for (const std::string& refusal : refusals_)
            if (!refusal.empty()) lines.push_back(refusal);
        unkept = refusalCount_ - refusals_.size() - repeatedRefusals_;
    } else {
        std::vector<std::string> messages;
        for (const Report& report : reports_) messages.push_back(report.text);
        if (!inBacktrace_) messages.push_back(OneLine(pending_));
        std::string context;
        for (std::string& message : messages) {
            message = OneLine(message);
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
    // File names replace URLs in the lines shown only: a call that read many files has as many
    // names to look for.
    std::vector<std::pair<std::string_view, std::string_view>> names(fileNames_.begin(), fileNames_.end());
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (std::size_t i = 0; i < shown; ++i)
        description += (i == 0 ? "" : "; ") + Shortened(OneLine(WithNames(std::move(lines[i]), names)));
    const std::size_t more = lines.size() - shown + unkept;
    if (more > 0) description += "; and " + std::to_string(more) + " more messages";
    return description;
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
    // xmlParserCtxt::input and its line and col (libxml2 2.9.14 to 2.15; 2.15 adds
    // xmlCtxtGetInputPosition, which 2.9.14 lacks).
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
        const auto named = fileNames_.find(std::string(url));
        place += (named != fileNames_.end() ? named->second : DisplayFromUrl(url)) + ", ";
    }
    place += "line " + std::to_string(line);
    if (column > 0) place += ", column " + std::to_string(column);
    return place + ")";
}

std::string CallRecord::WithNames(std::string text,
                                  const std::vector<std::pair<std::string_view, std::string_view>>& names) {
    for (const auto& [url, name] : names) {
        if (url.empty()) continue;
        for (std::size_t at = text.find(url); at != std::string::npos; at = text.find(url, at + name.size()))
            text.replace(at, url.size(), name);
    }
    return text;
}

}  // namespace xmlservice
