#include "classes/class_factory.h"
#include "classes/document_access.h"
#include "classes/method_support.h"
#include "engine/budget.h"
#include "engine/call_record.h"
#include "engine/files.h"
#include "engine/heap.h"
#include "engine/library_setup.h"
#include "engine/parsing.h"

#include <libxml/tree.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace xmlservice {
namespace {

// The text of line `line` (counted from 1) of `content` without its line end, at most
// kLongestQuotedLine bytes of it, and in `start` where it begins; empty when there is no such line.
std::string LineOf(std::string_view content, long line, std::uint64_t& start) {
    std::size_t at = 0;
    for (long current = 1; current < line; ++current) {
        at = content.find('\n', at);
        if (at == std::string_view::npos) {
            start = 0;
            return {};
        }
        ++at;
    }
    start = at;
    std::string_view text = content.substr(at, content.substr(at).find('\n'));
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return std::string(QuotedLine(text));
}

// What parseError reports about the last load.
struct ParseDetails {
    HRESULT code = S_OK;
    std::string url;
    std::string reason;
    std::string sourceText;
    long line = 0;
    long column = 0;
    long position = 0;
};

class ParseError final : public com::Object<IXMLDOMParseError, ISupportErrorInfo> {
public:
    explicit ParseError(ParseDetails details) noexcept : details_(std::move(details)) {}

    HRESULT get_errorCode(long* errorCode) noexcept override { return Number(details_.code, errorCode); }
    HRESULT get_url(BSTR* url) noexcept override { return ReturnText(details_.url, url); }
    HRESULT get_reason(BSTR* reason) noexcept override { return ReturnText(details_.reason, reason); }
    HRESULT get_srcText(BSTR* sourceText) noexcept override { return ReturnText(details_.sourceText, sourceText); }
    HRESULT get_line(long* line) noexcept override { return Number(details_.line, line); }
    HRESULT get_linepos(long* linePosition) noexcept override { return Number(details_.column, linePosition); }
    HRESULT get_filepos(long* filePosition) noexcept override { return Number(details_.position, filePosition); }

    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXMLDOMParseError) ? S_OK : S_FALSE;
    }

private:
    static HRESULT Number(long value, long* out) noexcept {
        if (out == nullptr) return Fail(Failure::NullPointer);
        *out = value;
        return S_OK;
    }

    ParseDetails details_;
};

class Document final : public com::Object<IXMLDOMDocument, ISupportErrorInfo, IDocumentAccess> {
public:
    HRESULT get_nodeName(BSTR* name) noexcept override { return ReturnText("#document", name); }

    HRESULT get_xml(BSTR* xml) noexcept override {
        if (xml == nullptr) return Fail(Failure::NullPointer);
        *xml = nullptr;
        return Guarded([&] {
            const std::shared_ptr<const LoadedTree> loaded = Current();
            if (!loaded) return ReturnText({}, xml);
            xmlChar* text = nullptr;
            int size = 0;
            CallRecord call;
            {
                const std::shared_lock<std::shared_mutex> reading(loaded->readers);
                xmlDocDumpMemoryEnc(loaded->tree.get(), &text, &size, "UTF-8");
            }
            const std::unique_ptr<xmlChar, LibraryMemoryDeleter> owned(text);
            if (!owned) return Fail(Failure::NoMemory, call.Describe({}));
            return ReturnText(std::string_view(reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(size)),
                              xml);
        });
    }

    HRESULT load(VARIANT source, VARIANT_BOOL* isSuccessful) noexcept override {
        if (isSuccessful == nullptr) return Fail(Failure::NullPointer);
        *isSuccessful = VARIANT_FALSE;
        return OnLargeStack([&] {
            if (source.vt != VT_BSTR)
                return Fail(Failure::BadArgument, "load needs the file's path or file: URL as a string (VT_BSTR), not " +
                                                      VariantTypeName(source.vt));
            std::string name;
            if (!Utf8FromWide(source.bstrVal, name))
                return Fail(Failure::BadArgument, "The location given to load is not valid UTF-16");
            Unload();
            std::string location = name;
            for (char& c : location)
                if (c == '\\') c = '/';
            std::string path;
            switch (PathFromUri(location, path)) {
            case UriKind::Remote:
                return NotLoaded(Failure::Refused, name,
                                 "Loading \"" + name + "\" is refused: only local files can be loaded");
            case UriKind::Invalid:
                return NotLoaded(Failure::BadArgument, name, "\"" + name + "\" is not a file path or a file: URL");
            case UriKind::LocalFile:
                break;
            }
            ReadableFile file;
            OpenError error;
            if (!file.Open(path, error)) {
                const bool missing = error.number == ENOENT || error.number == ENOTDIR;
                return NotLoaded(missing ? Failure::FileNotFound : Failure::FileUnreadable, name,
                                 OpenFailureReason(name, error));
            }
            // The parse already has the file's share; the tree keeps it once loaded.
            BudgetShare share(file.Size());
            // A document that is a link is read through it, but it stays where the caller named it:
            // its relative references and the reads of its transformations start from there.
            const std::string located = NamedPath(path);
            if (located.empty())
                return NotLoaded(Failure::FileUnreadable, name, "The folder of the file \"" + name + "\" cannot be found");
            const std::string url = FileUrlFromPath(located);
            CallRecord call;
            call.NameFile(url, name);
            DocumentHandle tree = ParseDocument(call, {file.Stream(), {}}, url);
            if (!tree) {
                return NotParsed(call, name, [&](long line, std::uint64_t& start) { return file.Line(line, start); });
            }
            Loaded(std::make_shared<LoadedTree>(std::move(tree), url, name, FolderOf(located), std::move(share)));
            *isSuccessful = VARIANT_TRUE;
            return S_OK;
        });
    }

    HRESULT loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) noexcept override {
        if (isSuccessful == nullptr) return Fail(Failure::NullPointer);
        *isSuccessful = VARIANT_FALSE;
        return OnLargeStack([&] {
            std::string content;
            if (!Utf8FromWide(xml, content)) return Fail(Failure::BadArgument, "The text given to loadXML is not valid UTF-16");
            Unload();
            CallRecord call;
            DocumentHandle tree = ParseDocument(call, {nullptr, content}, {});
            if (!tree) return NotParsed(call, {}, [&](long line, std::uint64_t& start) { return LineOf(content, line, start); });
            Loaded(std::make_shared<LoadedTree>(std::move(tree), std::string(), std::string(), std::string(), BudgetShare()));
            *isSuccessful = VARIANT_TRUE;
            return S_OK;
        });
    }

    HRESULT get_parseError(IXMLDOMParseError** parseError) noexcept override {
        if (parseError == nullptr) return Fail(Failure::NullPointer);
        *parseError = nullptr;
        return Guarded([&] {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!parseError_) parseError_.Attach(new ParseError(parseDetails_));
            *parseError = parseError_;
            (*parseError)->AddRef();
            return S_OK;
        });
    }

    HRESULT get_url(BSTR* url) noexcept override {
        const std::shared_ptr<const LoadedTree> loaded = Current();
        return ReturnText(loaded ? std::string_view(loaded->url) : std::string_view(), url);
    }

    HRESULT InterfaceSupportsErrorInfo(REFIID iid) noexcept override {
        return iid == __uuidof(IXMLDOMDocument) || iid == __uuidof(IXMLDOMNode) ? S_OK : S_FALSE;
    }

    HRESULT GetTree(std::shared_ptr<const LoadedTree>* tree) noexcept override {
        if (tree == nullptr) return E_POINTER;
        *tree = Current();
        return S_OK;
    }

private:
    std::shared_ptr<const LoadedTree> Current() const noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        return loaded_;
    }

    // A load replaces what the document held, whether it succeeds or not. The old tree goes as
    // soon as nothing reads it any more; the document's reference to it goes now, before the new
    // parse, so that the two trees seldom meet in memory.
    void Unload() noexcept {
        std::shared_ptr<const LoadedTree> previous;
        const std::lock_guard<std::mutex> lock(mutex_);
        previous = std::move(loaded_);
        parseDetails_ = {};
        parseError_ = nullptr;
    }

    void Loaded(std::shared_ptr<const LoadedTree> loaded) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        loaded_ = std::move(loaded);
    }

    HRESULT NotLoaded(Failure failure, std::string url, std::string reason) {
        ParseDetails details;
        details.code = CodeOf(failure);
        details.url = std::move(url);
        details.reason = std::move(reason);
        return NotLoaded(std::move(details));
    }

    HRESULT NotLoaded(ParseDetails details) {
        const std::lock_guard<std::mutex> lock(mutex_);
        parseDetails_ = std::move(details);
        parseError_ = nullptr;
        return S_FALSE;
    }

    // Fails a load for what the parse recorded. `lineOf(line, start)` gives the text of a line of
    // the document and where it starts, for the parse error's report.
    template <class LineOf>
    HRESULT NotParsed(const CallRecord& call, std::string url, LineOf&& lineOf) {
        if (call.BudgetExceeded()) return NotLoaded(Failure::NoMemory, std::move(url), call.Describe({}));
        const Report* first = call.Refused() ? nullptr : call.FirstParserError();
        if (first == nullptr)
            return NotLoaded(call.Refused() ? Failure::Refused : Failure::NotWellFormed, std::move(url),
                             call.Describe("The document cannot be parsed"));
        ParseDetails details;
        details.code = CodeOf(Failure::NotWellFormed);
        details.url = std::move(url);
        details.reason = first->text;
        details.line = first->line;
        details.column = first->column;
        if (first->line > 0) {
            std::uint64_t start = 0;
            details.sourceText = lineOf(first->line, start);
            details.position = static_cast<long>(start) + (first->column > 0 ? first->column - 1 : 0);
        }
        return NotLoaded(std::move(details));
    }

    // Loads, the calls that read the tree and the parse error's report may come from any thread:
    // the free-threaded class is the same class.
    mutable std::mutex mutex_;
    std::shared_ptr<const LoadedTree> loaded_;
    ParseDetails parseDetails_;
    _com_ptr_t<IXMLDOMParseError> parseError_;
};

}  // namespace

LoadedTree::LoadedTree(DocumentHandle loadedTree, std::string loadedUrl, std::string loadedName,
                       std::string loadedFolder, BudgetShare loadedShare) noexcept
    : tree(std::move(loadedTree)),
      url(std::move(loadedUrl)),
      name(std::move(loadedName)),
      folder(std::move(loadedFolder)),
      share(std::move(loadedShare)) {}

LoadedTree::~LoadedTree() {
    // Freed blocks would otherwise wait for the allocator's next call on this thread, which a
    // caller that has released a large document may never make.
    constexpr std::uint64_t kGiveBackFrom = std::uint64_t{1} << 20;
    const bool large = share.FileBytes() >= kGiveBackFrom;
    tree.reset();
    if (large) heap::GiveBack();
}

HRESULT CreateDocument(REFIID iid, void** object) noexcept {
    PrepareLibraries();
    return com::CreateObject<Document>(iid, object);
}

}  // namespace xmlservice
