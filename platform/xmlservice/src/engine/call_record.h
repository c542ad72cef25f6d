// The record of one service call: what libxml2 and libxslt report while they work for it, the
// accesses refused on its behalf, and the folders its file reads are confined to.
#pragma once


#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct _xmlError;
struct _xmlDoc;
struct _xsltTransformContext;

namespace xmlservice {

// One message from a library or from the service's own checks, already on one line.
struct Report {
    std::string text;
    // An error or a fatal error of the parser; warnings and libxslt's free text are not.
    bool isParserError = false;
    // Where in the parsed text; 0 when unknown.
    long line = 0;
    long column = 0;
};

// While a record lives, it is the calling thread's current one: the libraries' error handlers
// append to it, and every file read they attempt is checked against its folders. Outside a
// record the handlers drop what they are given.
class CallRecord {
public:
    // Reads are allowed inside `readableFolders` (real paths) and nowhere else.
    explicit CallRecord(std::vector<std::string> readableFolders = {}) noexcept;
    // Makes the record that was current before this one current again; the outermost record
    // gives the thread its own libxml2 message handlers back.
    ~CallRecord();
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    // The thread's current record; null outside the service's calls.
    static CallRecord* Current() noexcept;

    // Adds one message.
    void Add(Report report) noexcept;
    // Adds text that a library writes in pieces; each line end finishes one message.
    void AddText(std::string_view text) noexcept;
    // Adds a structured error of libxml2, with its place when it has one.
    void AddError(const _xmlError& error) noexcept;
    // Records a refused access; the call fails with the reason.
    void Refuse(std::string reason) noexcept;
    // True once any access has been refused.
    bool Refused() const noexcept { return refusalCount_ > 0; }
    // True once the record keeps no more reasons: a refusal then only counts, and need not be
    // worded.
    bool RefusalsFull() const noexcept;

    // Marks the call as over the memory budget and stops its transformation, if one runs. Called
    // from inside the allocator, so it only sets flags.
    void ExceedBudget() noexcept;
    // True once the call has gone over the memory budget.
    bool BudgetExceeded() const noexcept { return budgetExceeded_; }
    // The transformation that ExceedBudget stops; null when none runs.
    void SetTransformation(_xsltTransformContext* context) noexcept { transformation_ = context; }

    // Shows `name` wherever a message mentions `url`; a later name for a URL replaces an earlier.
    void NameFile(std::string url, std::string name) noexcept;
    // The names given so far, by URL.
    const std::unordered_map<std::string, std::string>& FileNames() const noexcept { return fileNames_; }

    // The bytes of text the record keeps, which stay bounded however much it is given.
    std::size_t KeptBytes() const noexcept;

    // The number of parser errors so far.
    std::size_t ParserErrorCount() const noexcept;
    // The first parser error, or null.
    const Report* FirstParserError() const noexcept;
    // Everything in one line: the budget's description when it was exceeded, else the refusals
    // when there were any, otherwise all messages; `fallback` when there is nothing.
    std::string Describe(std::string_view fallback) const;

    // The folders, as real paths, inside which the call may read.
    const std::vector<std::string>& ReadableFolders() const noexcept { return readableFolders_; }

    // Counts one more stylesheet module read during the call; the count so far.
    std::size_t CountModuleRead() noexcept { return ++moduleReads_; }

    // Sets what is done to each stylesheet module read during the call, before libxslt compiles
    // it; nothing by default.
    void SetModulePreparation(void (*prepare)(_xmlDoc* module) noexcept) noexcept { prepareModule_ = prepare; }
    void PrepareModule(_xmlDoc* module) const noexcept {
        if (prepareModule_ != nullptr) prepareModule_(module);
    }

    // The parser whose position locates refusals of external entities, and its document's URL.
    void SetActiveParser(const void* parser, std::string_view url) noexcept;
    // " (file, line L, column C)" for the active parser's position; empty without one.
    std::string ActiveParserPlace() const;

private:
    std::string Place(std::string_view url, long line, long column) const;
    // `text` with each URL of `names` (longest first) replaced by its name.
    static std::string WithNames(std::string text,
                                 const std::vector<std::pair<std::string_view, std::string_view>>& names);

    // Stores a message, within the bounds of what a record keeps.
    void Keep(Report report);

    std::vector<std::string> readableFolders_;
    std::vector<Report> reports_;
    // Messages beyond the ones kept, and parser errors among all of them.
    std::size_t droppedReports_ = 0;
    std::size_t parserErrors_ = 0;
    // The first refusals' reasons, and how many there were.
    std::vector<std::string> refusals_;
    std::size_t refusalCount_ = 0;
    // Refusals whose reason was kept already, which the description leaves out.
    std::size_t repeatedRefusals_ = 0;
    std::unordered_map<std::string, std::string> fileNames_;
    std::string pending_;
    bool inBacktrace_ = false;
    const void* activeParser_ = nullptr;
    std::string activeUrl_;
    bool budgetExceeded_ = false;
    _xsltTransformContext* transformation_ = nullptr;
    void (*prepareModule_)(_xmlDoc*) noexcept = nullptr;
    std::size_t moduleReads_ = 0;

    CallRecord* previous_;
    // The thread's libxml2 message handlers before the outermost record routed them here.
    struct MessageHandlers {
        void (*generic)() = nullptr;
        void* genericContext = nullptr;
        void (*structured)() = nullptr;
        void* structuredContext = nullptr;
    } callersHandlers_;
};

// Makes the calling thread's libxml2 messages go to the call record current on it, and nowhere
// outside a call.
void RouteThreadMessages() noexcept;
// Makes libxslt's messages, which it reports process-wide, go to the current call record too.
void RouteLibxsltMessages() noexcept;
// Marks the calling thread's current call, if any, as over the memory budget.
void ExceedBudgetOfCurrentCall() noexcept;

}  // namespace xmlservice
