#include "xslt/scripts.h"

#include "engine/call_record.h"
#include "engine/handles.h"
#include "engine/libxslt_fields.h"
#include "xslt/transformation_local.h"

#include <duktape.h>

#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/xsltutils.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Duktape's executor asks this every so many instructions; true stops the running script.
extern "C" int xmlservice_script_must_stop(void* heapData);

namespace xmlservice {
namespace {

constexpr char kScriptNamespace[] = "urn:schemas-microsoft-com:xslt";

std::atomic<std::int64_t> gTimeBoundNanoseconds{std::int64_t{kScriptSecondsPerTransformation} * 1000000000};

// Memory for the engine's heap and the session's tables comes from libxml2's allocator, so the
// memory budget counts it and its refusal ends a script that allocates without end.
template <class T>
struct LibraryAllocator {
    using value_type = T;
    LibraryAllocator() noexcept = default;
    template <class U>
    LibraryAllocator(const LibraryAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* block = xmlMalloc(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { xmlFree(block); }
    template <class U>
    bool operator==(const LibraryAllocator<U>&) const noexcept { return true; }
};
using CountedString = std::basic_string<char, std::char_traits<char>, LibraryAllocator<char>>;
template <class T>
using CountedVector = std::vector<T, LibraryAllocator<T>>;

void* EngineAllocate(void*, duk_size_t size) { return xmlMalloc(size == 0 ? 1 : size); }
void* EngineReallocate(void*, void* block, duk_size_t size) {
    if (size == 0) {
        xmlFree(block);
        return nullptr;
    }
    return xmlRealloc(block, size);
}
void EngineFree(void*, void* block) {
    if (block != nullptr) xmlFree(block);
}
// Reached only when the engine meets an error outside every protected call, which the service
// never makes; the engine's state cannot be trusted after it.
void EngineFatal(void*, const char*) { std::abort(); }

struct HeapDeleter {
    void operator()(duk_context* heap) const noexcept { duk_destroy_heap(heap); }
};
using HeapHandle = std::unique_ptr<duk_context, HeapDeleter>;

// Takes whichever error type the library's structured handlers take: a pointer to a constant
// error since libxml2 2.12, a plain pointer before.
template <class Handler>
struct ErrorArgumentOf;
template <class Error>
struct ErrorArgumentOf<void (*)(void*, Error)> {
    using type = Error;
};

std::string_view View(const xmlChar* text) noexcept {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}
const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }
using LibraryString = std::unique_ptr<xmlChar, LibraryMemoryDeleter>;

void AppendUtf8(CountedString& out, std::uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Decodes one sequence of the engine's extended UTF-8 at `at`; false for a malformed one.
bool DecodeAt(std::string_view text, std::size_t& at, std::uint32_t& code) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        ++at;
        return true;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
    } else {
        ++at;
        return false;
    }
    if (at + length > text.size()) {
        ++at;
        return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            ++at;
            return false;
        }
        code = (code << 6) | (next & 0x3F);
    }
    at += length;
    return true;
}

// Text of libxml2 (UTF-8) as the engine keeps it: characters beyond U+FFFF as surrogate pairs.
void EngineTextFromUtf8(std::string_view utf8, CountedString& out) {
    out.clear();
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        std::uint32_t code = 0;
        const std::size_t start = at;
        if (lead >= 0xF0 && DecodeAt(utf8, at, code) && code >= 0x10000) {
            code -= 0x10000;
            AppendUtf8(out, 0xD800 + (code >> 10));
            AppendUtf8(out, 0xDC00 + (code & 0x3FF));
        } else {
            if (lead < 0xF0) at = start + 1;
            out.append(utf8.substr(start, at - start));
        }
    }
}

// Text of the engine as UTF-8 for libxml2: surrogate pairs joined, anything else that XML cannot
// hold as a character (a lone surrogate, a malformed sequence) replaced by U+FFFD.
void Utf8FromEngineText(std::string_view text, CountedString& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code = 0;
        if (!DecodeAt(text, at, code) || code > 0x10FFFF) {
            AppendUtf8(out, 0xFFFD);
            continue;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            std::size_t next = at;
            std::uint32_t low = 0;
            if (next < text.size() && DecodeAt(text, next, low) && low >= 0xDC00 && low <= 0xDFFF) {
                at = next;
                AppendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
            } else {
                AppendUtf8(out, 0xFFFD);
            }
            continue;
        }
        if (code >= 0xDC00 && code <= 0xDFFF) code = 0xFFFD;
        AppendUtf8(out, code);
    }
}

// The processor time this thread has used, in nanoseconds.
std::int64_t ThreadTime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The bound of processor time in seconds, as "10" or "0.5".
std::string BoundText() {
    char digits[32];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits,
                                            static_cast<double>(gTimeBoundNanoseconds.load()) / 1e9);
    return error == std::errc{} ? std::string(digits, end) : std::string("?");
}

// " (url, line N)" for messages; the call record shows the file's name in place of its URL.
std::string Place(const std::string& url, long line) {
    return " (" + (url.empty() ? std::string() : url + ", ") + "line " + std::to_string(line) + ")";
}

}  // namespace

// One msxsl:script block that runs, as compiled: its text behind as many line ends as lines
// precede it in its file, so that the engine's line numbers are the file's.
struct ScriptBlock {
    std::string source;
    std::string url;
    long line = 0;
};

// The blocks of one implements-prefix namespace, which share one global scope.
struct ScriptNamespace {
    std::string uri;
    // The prefix its first block names, for messages.
    std::string prefix;
    std::vector<ScriptBlock> blocks;
    // The language of a block that does not run here (VBScript, C#, ...); empty for none.
    std::string otherLanguage;
};

class StylesheetScripts {
public:
    std::vector<ScriptNamespace> namespaces;

    const ScriptNamespace* Find(std::string_view uri) const noexcept {
        for (const ScriptNamespace& space : namespaces)
            if (space.uri == uri) return &space;
        return nullptr;
    }
};

struct ScriptCollection::Collected {
    StylesheetScripts scripts;
    // Blocks that cannot be used, already worded.
    std::vector<std::string> faults;
};

namespace {

thread_local ScriptCollection* tCurrentCollection = nullptr;

bool IsJavaScript(std::string_view language) noexcept {
    auto same = [&](std::string_view name) {
        if (language.size() != name.size()) return false;
        for (std::size_t i = 0; i < name.size(); ++i)
            if (static_cast<char>(std::tolower(static_cast<unsigned char>(language[i]))) != name[i]) return false;
        return true;
    };
    return same("jscript") || same("javascript");
}

std::string AttributeOf(xmlNodePtr element, const char* name, bool* present) {
    const LibraryString value(xmlGetNoNsProp(element, Chars(name)));
    *present = value != nullptr;
    return std::string(View(value.get()));
}

// The text of a block: its text and CDATA children.
std::string TextOf(xmlNodePtr element) {
    std::string text;
    for (xmlNodePtr child = element->children; child != nullptr; child = child->next)
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) text += View(child->content);
    return text;
}

void Collect(xmlDocPtr module, ScriptCollection::Collected& into) {
    xmlNodePtr root = xmlDocGetRootElement(module);
    if (root == nullptr) return;
    const std::string url(View(module->URL));
    for (xmlNodePtr element = root->children; element != nullptr; element = element->next) {
        if (element->type != XML_ELEMENT_NODE || element->ns == nullptr ||
            View(element->ns->href) != kScriptNamespace || View(element->name) != "script")
            continue;
        const long line = xmlGetLineNo(element);
        const std::string where = "The msxsl:script block" + Place(url, line);
        bool hasLanguage = false;
        bool hasPrefix = false;
        const std::string language = AttributeOf(element, "language", &hasLanguage);
        const std::string prefix = AttributeOf(element, "implements-prefix", &hasPrefix);
        if (!hasPrefix || prefix.empty()) {
            into.faults.push_back(where + " has no implements-prefix attribute");
            continue;
        }
        xmlNsPtr bound = xmlSearchNs(module, element, Chars(prefix.c_str()));
        if (bound == nullptr || bound->href == nullptr) {
            into.faults.push_back(where + " names the prefix \"" + prefix + "\", which is not declared");
            continue;
        }
        const std::string uri(View(bound->href));
        ScriptNamespace* space = nullptr;
        for (ScriptNamespace& existing : into.scripts.namespaces)
            if (existing.uri == uri) space = &existing;
        if (space == nullptr) {
            into.scripts.namespaces.push_back({uri, prefix, {}, {}});
            space = &into.scripts.namespaces.back();
        }
        // A block without a language is JScript, the platform's default.
        if (hasLanguage && !IsJavaScript(language)) {
            if (space->otherLanguage.empty()) space->otherLanguage = language;
            continue;
        }
        ScriptBlock block;
        block.url = url;
        block.line = line;
        block.source.assign(line > 1 ? static_cast<std::size_t>(line - 1) : 0, '\n');
        block.source += TextOf(element);
        space->blocks.push_back(std::move(block));
    }
}

// Compiles `block` in `heap`, to find syntax errors before any transformation runs.
duk_ret_t CompileBlock(duk_context* heap, void* data) {
    const auto* source = static_cast<const CountedString*>(data);
    duk_push_string(heap, "script");
    duk_compile_lstring_filename(heap, 0, source->data(), source->size());
    return 1;
}

}  // namespace

ScriptCollection::ScriptCollection() noexcept : previous_(tCurrentCollection) { tCurrentCollection = this; }

ScriptCollection::~ScriptCollection() { tCurrentCollection = previous_; }

void ScriptCollection::CollectFrom(_xmlDoc* module) noexcept {
    ScriptCollection* collection = tCurrentCollection;
    if (collection == nullptr || module == nullptr) return;
    try {
        if (!collection->collected_) collection->collected_ = std::make_unique<Collected>();
        Collect(module, *collection->collected_);
    } catch (...) {
        if (collection->collected_) collection->collected_->faults.emplace_back();
    }
}

bool ScriptCollection::Finish(CallRecord& call, StylesheetScriptsPtr& scripts) noexcept {
    scripts.reset();
    if (!collected_) return true;
    bool usable = collected_->faults.empty();
    for (const std::string& fault : collected_->faults)
        call.Add({fault.empty() ? std::string("Not enough memory to read the msxsl:script blocks") : fault});
    try {
        HeapHandle heap;
        CountedString source;
        for (const ScriptNamespace& space : collected_->scripts.namespaces) {
            for (const ScriptBlock& block : space.blocks) {
                if (!heap) heap.reset(duk_create_heap(EngineAllocate, EngineReallocate, EngineFree, nullptr, EngineFatal));
                if (!heap) {
                    call.Add({"Not enough memory to compile the msxsl:script blocks"});
                    return false;
                }
                EngineTextFromUtf8(block.source, source);
                if (duk_safe_call(heap.get(), CompileBlock, &source, 0, 1) != DUK_EXEC_SUCCESS) {
                    usable = false;
                    call.Add({"The msxsl:script block" + Place(block.url, block.line) +
                              " does not compile: " + std::string(duk_safe_to_string(heap.get(), -1))});
                }
                duk_pop(heap.get());
            }
        }
        if (usable && !collected_->scripts.namespaces.empty())
            scripts = std::make_shared<const StylesheetScripts>(std::move(collected_->scripts));
    } catch (...) {
        call.Add({"Not enough memory to compile the msxsl:script blocks"});
        return false;
    }
    return usable;
}

enum class ValueKind { String, Number, Boolean, Nodes };

// A value on its way between XPath and a script: text in the engine's form going in, in UTF-8
// coming out; nodes as indexes of the session's table.
struct ScriptValue {
    ValueKind kind = ValueKind::String;
    CountedString text;
    double number = 0;
    bool boolean = false;
    CountedVector<std::uint32_t> nodes;
};

// The engine of one transformation: one heap, one global scope (a thread of the heap with a
// global environment of its own) per namespace, the table of the nodes handed to the scripts,
// and the copies of result tree fragments they were given.
class ScriptSession : public TransformationLocal<ScriptSession> {
public:
    ScriptSession(xsltTransformContextPtr context, StylesheetScriptsPtr scripts) noexcept
        : TransformationLocal(context), scripts_(std::move(scripts)), xpath_(XPathContextOf(context)) {
        savedLookup_ = xpath_->funcLookupFunc;
        savedLookupData_ = xpath_->funcLookupData;
        xmlXPathRegisterFuncLookup(xpath_, Lookup, this);
    }
    ~ScriptSession() {
        heap_.reset();
        xmlXPathRegisterFuncLookup(xpath_, savedLookup_, savedLookupData_);
    }

    // True when the running script must stop: out of processor time or of memory.
    bool MustStop() noexcept {
        if (stop_ != Stop::None) return true;
        const CallRecord* call = CallRecord::Current();
        if (call != nullptr && call->BudgetExceeded()) {
            stop_ = Stop::Memory;
        } else if (running_ && ++checks_ % kChecksPerClockReading == 0 &&
                   usedTime_ + (ThreadTime() - startTime_) > gTimeBoundNanoseconds.load()) {
            stop_ = Stop::Time;
        }
        return stop_ != Stop::None;
    }

    static ScriptSession* OfEngine(duk_context* engine) noexcept {
        duk_memory_functions functions{};
        duk_get_memory_functions(engine, &functions);
        return static_cast<ScriptSession*>(functions.udata);
    }

    // The function that the lookup hands out for every name of a script namespace.
    static void Function(xmlXPathParserContextPtr parser, int argumentCount) noexcept;

private:
    enum class Stop { None, Time, Memory };
    struct Scope {
        duk_context* engine = nullptr;
        bool ready = false;
    };

    static xmlXPathFunction Lookup(void* data, const xmlChar* name, const xmlChar* uri) {
        auto* session = static_cast<ScriptSession*>(data);
        if (uri != nullptr && session->scripts_->Find(View(uri)) != nullptr) return Function;
        return session->savedLookup_ != nullptr ? session->savedLookup_(session->savedLookupData_, name, uri) : nullptr;
    }

    void Call(xmlXPathParserContextPtr parser, int argumentCount);
    // Fails the transformation with `reason` about the function being called.
    void Fail(xmlXPathParserContextPtr parser, const std::string& reason);
    bool Prepare(const ScriptNamespace& space, std::size_t index, std::string& failure);
    std::string DescribeError(duk_context* engine, const char* doing);
    void Argument(xmlXPathObjectPtr object, ScriptValue& into);

public:
    // Used by the engine's callbacks below.
    std::uint32_t Register(xmlNodePtr node);
    xmlNodePtr NodeAt(double index) const noexcept {
        return index >= 0 && index < static_cast<double>(nodes_.size()) ? nodes_[static_cast<std::size_t>(index)]
                                                                        : nullptr;
    }
    CountedString scratch;
    CountedString utf8;
    CountedVector<std::uint32_t> list;
    std::vector<ScriptValue> arguments;
    ScriptValue result;
    CountedString functionName;
    bool missing = false;
    const ScriptNamespace* preparing = nullptr;
    std::size_t preparingBlock = 0;
    CountedString source;

private:
    const StylesheetScriptsPtr scripts_;
    xmlXPathContextPtr const xpath_;
    xmlXPathFuncLookupFunc savedLookup_ = nullptr;
    void* savedLookupData_ = nullptr;
    HeapHandle heap_;
    std::vector<Scope> scopes_;
    CountedVector<xmlNodePtr> nodes_;
    std::unordered_map<xmlNodePtr, std::uint32_t, std::hash<xmlNodePtr>, std::equal_to<>,
                       LibraryAllocator<std::pair<xmlNodePtr const, std::uint32_t>>>
        indexes_;
    // Copies of the result tree fragments handed to scripts, which libxslt may free or reuse while
    // a script still holds their nodes; kept to the end of the transformation.
    std::vector<DocumentHandle> copies_;
    std::unordered_map<xmlDocPtr, xmlDocPtr> copyOfCall_;
    Stop stop_ = Stop::None;
    bool failed_ = false;
    bool running_ = false;
    // The executor asks every 4096 instructions; the clock is read on every eighth question.
    static constexpr unsigned kChecksPerClockReading = 8;
    unsigned checks_ = 0;
    std::int64_t startTime_ = 0;
    std::int64_t usedTime_ = 0;
};

namespace {

// Runs C++ `work` inside an engine callback; a failure becomes a script error once the C++
// frames are gone, since the engine unwinds with longjmp.
template <class Work>
void Guard(duk_context* engine, Work&& work) {
    bool done = false;
    try {
        work();
        done = true;
    } catch (...) {
    }
    if (!done) (void)duk_error(engine, DUK_ERR_RANGE_ERROR, "out of memory");
}

ScriptSession* SessionOf(duk_context* engine) { return ScriptSession::OfEngine(engine); }

void PushText(duk_context* engine, std::string_view utf8) {
    ScriptSession* session = SessionOf(engine);
    Guard(engine, [&] { EngineTextFromUtf8(utf8, session->scratch); });
    duk_push_lstring(engine, session->scratch.data(), session->scratch.size());
}

void PushLibraryText(duk_context* engine, xmlChar* owned) {
    ScriptSession* session = SessionOf(engine);
    bool done = false;
    try {
        EngineTextFromUtf8(View(owned), session->scratch);
        done = true;
    } catch (...) {
    }
    xmlFree(owned);
    if (!done) (void)duk_error(engine, DUK_ERR_RANGE_ERROR, "out of memory");
    duk_push_lstring(engine, session->scratch.data(), session->scratch.size());
}

// The argument at `index` as UTF-8 text in the session's `text`.
void ArgumentText(duk_context* engine, duk_idx_t index) {
    duk_size_t length = 0;
    const char* chars = duk_require_lstring(engine, index, &length);
    ScriptSession* session = SessionOf(engine);
    Guard(engine, [&] { Utf8FromEngineText(std::string_view(chars, length), session->utf8); });
}

bool IsShown(xmlNodePtr node) noexcept {
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_ENTITY_REF_NODE:
    case XML_PI_NODE:
    case XML_COMMENT_NODE:
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
        return true;
    default:
        return false;
    }
}

void PushNode(duk_context* engine, xmlNodePtr node) {
    if (node == nullptr) {
        duk_push_null(engine);
        return;
    }
    ScriptSession* session = SessionOf(engine);
    std::uint32_t index = 0;
    Guard(engine, [&] { index = session->Register(node); });
    duk_push_object(engine);
    duk_push_global_object(engine);
    duk_get_prop_string(engine, -1, DUK_HIDDEN_SYMBOL("NodePrototype"));
    duk_set_prototype(engine, -3);
    duk_pop(engine);
    duk_push_uint(engine, index);
    duk_put_prop_string(engine, -2, DUK_HIDDEN_SYMBOL("node"));
}

// A node list of the nodes in the session's `list`.
void PushList(duk_context* engine, const char* prototype) {
    ScriptSession* session = SessionOf(engine);
    duk_push_object(engine);
    duk_push_global_object(engine);
    duk_get_prop_string(engine, -1, prototype);
    duk_set_prototype(engine, -3);
    duk_pop(engine);
    duk_push_array(engine);
    for (std::size_t i = 0; i < session->list.size(); ++i) {
        duk_push_uint(engine, session->list[i]);
        duk_put_prop_index(engine, -2, static_cast<duk_uarridx_t>(i));
    }
    duk_put_prop_string(engine, -2, DUK_HIDDEN_SYMBOL("nodes"));
    duk_push_uint(engine, 0);
    duk_put_prop_string(engine, -2, DUK_HIDDEN_SYMBOL("next"));
}

// Fills the session's `list` with the shown nodes from `first` on along the siblings.
void ListSiblings(duk_context* engine, xmlNodePtr first) {
    ScriptSession* session = SessionOf(engine);
    Guard(engine, [&] {
        session->list.clear();
        for (xmlNodePtr node = first; node != nullptr; node = node->next)
            if (IsShown(node)) session->list.push_back(session->Register(node));
    });
}

xmlNodePtr ThisNode(duk_context* engine) {
    duk_push_this(engine);
    duk_get_prop_string(engine, -1, DUK_HIDDEN_SYMBOL("node"));
    xmlNodePtr node = duk_is_number(engine, -1) ? SessionOf(engine)->NodeAt(duk_get_number(engine, -1)) : nullptr;
    duk_pop_2(engine);
    if (node == nullptr) (void)duk_type_error(engine, "not a node");
    return node;
}

bool IsDocument(xmlNodePtr node) noexcept {
    return node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE;
}

// The qualified name of an element or attribute.
void QualifiedName(xmlNodePtr node, std::string& name) {
    name.clear();
    if (node->ns != nullptr && node->ns->prefix != nullptr) {
        name += View(node->ns->prefix);
        name += ':';
    }
    name += View(node->name);
}

duk_ret_t NodeName(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    const char* fixed = nullptr;
    switch (node->type) {
    case XML_TEXT_NODE: fixed = "#text"; break;
    case XML_CDATA_SECTION_NODE: fixed = "#cdata-section"; break;
    case XML_COMMENT_NODE: fixed = "#comment"; break;
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: fixed = "#document"; break;
    case XML_DOCUMENT_FRAG_NODE: fixed = "#document-fragment"; break;
    default: break;
    }
    if (fixed != nullptr) {
        duk_push_string(engine, fixed);
        return 1;
    }
    ScriptSession* session = SessionOf(engine);
    Guard(engine, [&] {
        std::string name;
        QualifiedName(node, name);
        session->utf8.assign(name.begin(), name.end());
    });
    PushText(engine, session->utf8);
    return 1;
}

duk_ret_t NodeValue(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    switch (node->type) {
    case XML_ATTRIBUTE_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        PushLibraryText(engine, xmlNodeGetContent(node));
        return 1;
    default:
        duk_push_null(engine);
        return 1;
    }
}

duk_ret_t NodeType(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    // libxml2's node types are the DOM's, but for its own kinds of document.
    duk_push_int(engine, node->type == XML_HTML_DOCUMENT_NODE ? 9 : static_cast<int>(node->type));
    return 1;
}

duk_ret_t NodeText(duk_context* engine) {
    PushLibraryText(engine, xmlXPathCastNodeToString(ThisNode(engine)));
    return 1;
}

duk_ret_t NodeXml(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    ScriptSession* session = SessionOf(engine);
    bool done = false;
    try {
        session->utf8.clear();
        const std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
        if (buffer) {
            done = true;
            xmlNodePtr first = IsDocument(node) ? node->children : node;
            for (xmlNodePtr part = first; part != nullptr; part = IsDocument(node) ? part->next : nullptr) {
                if (part->type == XML_DTD_NODE) continue;
                if (xmlNodeDump(buffer.get(), node->doc, part, 0, 0) < 0) done = false;
            }
            std::string_view dumped(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                                    static_cast<std::size_t>(xmlBufferLength(buffer.get())));
            // An attribute is written with the space that separates it in its element.
            if (node->type == XML_ATTRIBUTE_NODE && !dumped.empty() && dumped.front() == ' ') dumped.remove_prefix(1);
            session->utf8.assign(dumped.begin(), dumped.end());
        }
    } catch (...) {
        done = false;
    }
    if (!done) (void)duk_error(engine, DUK_ERR_RANGE_ERROR, "out of memory");
    PushText(engine, session->utf8);
    return 1;
}

duk_ret_t NodeChildNodes(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    ListSiblings(engine, node->type == XML_ENTITY_REF_NODE ? nullptr : node->children);
    PushList(engine, DUK_HIDDEN_SYMBOL("ListPrototype"));
    return 1;
}

duk_ret_t NodeAttributes(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    if (node->type != XML_ELEMENT_NODE) {
        duk_push_null(engine);
        return 1;
    }
    ListSiblings(engine, reinterpret_cast<xmlNodePtr>(node->properties));
    PushList(engine, DUK_HIDDEN_SYMBOL("AttributesPrototype"));
    return 1;
}

xmlNodePtr Shown(xmlNodePtr node, bool forward) noexcept {
    while (node != nullptr && !IsShown(node)) node = forward ? node->next : node->prev;
    return node;
}

duk_ret_t NodeFirstChild(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    PushNode(engine, node->type == XML_ENTITY_REF_NODE ? nullptr : Shown(node->children, true));
    return 1;
}
duk_ret_t NodeLastChild(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    PushNode(engine, node->type == XML_ENTITY_REF_NODE ? nullptr : Shown(node->last, false));
    return 1;
}
duk_ret_t NodeParent(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    // As in the DOM, an attribute has no parent and no siblings.
    PushNode(engine, node->type == XML_ATTRIBUTE_NODE ? nullptr : node->parent);
    return 1;
}
duk_ret_t NodeNextSibling(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    PushNode(engine, node->type == XML_ATTRIBUTE_NODE || IsDocument(node) ? nullptr : Shown(node->next, true));
    return 1;
}
duk_ret_t NodePreviousSibling(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    PushNode(engine, node->type == XML_ATTRIBUTE_NODE || IsDocument(node) ? nullptr : Shown(node->prev, false));
    return 1;
}

xmlAttrPtr NamedAttribute(xmlNodePtr element, std::string_view name) {
    std::string qualified;
    for (xmlAttrPtr attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
        QualifiedName(reinterpret_cast<xmlNodePtr>(attribute), qualified);
        if (qualified == name) return attribute;
    }
    return nullptr;
}

duk_ret_t NodeGetAttribute(duk_context* engine) {
    xmlNodePtr node = ThisNode(engine);
    ArgumentText(engine, 0);
    ScriptSession* session = SessionOf(engine);
    xmlAttrPtr found = nullptr;
    if (node->type == XML_ELEMENT_NODE)
        Guard(engine, [&] { found = NamedAttribute(node, std::string_view(session->utf8.data(), session->utf8.size())); });
    if (found == nullptr) {
        duk_push_null(engine);
        return 1;
    }
    PushLibraryText(engine, xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(found)));
    return 1;
}

// XPath errors of a script's selection go to the script as an exception, not to the call's record.
void KeepSelectionError(void* data, ErrorArgumentOf<xmlStructuredErrorFunc>::type error) {
    auto* message = static_cast<std::string*>(data);
    if (error != nullptr && message->empty() && error->message != nullptr) {
        try {
            *message = error->message;
            while (!message->empty() && (message->back() == '\n' || message->back() == ' ')) message->pop_back();
        } catch (...) {
        }
    }
}

// Selects with the XPath in the session's `text` from `node` into the session's `list`; the
// reason in the session's `text` when the expression fails.
bool Select(ScriptSession& session, xmlNodePtr node) {
    std::string message;
    session.list.clear();
    const std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> xpath(xmlXPathNewContext(node->doc),
                                                                                xmlXPathFreeContext);
    if (!xpath) throw std::bad_alloc();
    xpath->node = node;
    xpath->error = KeepSelectionError;
    xpath->userData = &message;
    const std::string expression(session.utf8.data(), session.utf8.size());
    const std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> selected(
        xmlXPathEvalExpression(Chars(expression.c_str()), xpath.get()), xmlXPathFreeObject);
    if (!selected || selected->type != XPATH_NODESET) {
        if (message.empty()) message = selected ? "the expression does not select nodes" : "the expression fails";
        const std::string reason = "\"" + expression + "\": " + message;
        session.utf8.assign(reason.begin(), reason.end());
        return false;
    }
    for (int i = 0; selected->nodesetval != nullptr && i < selected->nodesetval->nodeNr; ++i)
        if (IsShown(selected->nodesetval->nodeTab[i])) session.list.push_back(session.Register(selected->nodesetval->nodeTab[i]));
    return true;
}

duk_ret_t NodeSelect(duk_context* engine, bool single) {
    xmlNodePtr node = ThisNode(engine);
    ArgumentText(engine, 0);
    ScriptSession* session = SessionOf(engine);
    bool selected = false;
    Guard(engine, [&] { selected = Select(*session, node); });
    if (!selected) (void)duk_error(engine, DUK_ERR_ERROR, "%s", session->utf8.c_str());
    if (!single) {
        PushList(engine, DUK_HIDDEN_SYMBOL("ListPrototype"));
    } else if (session->list.empty()) {
        duk_push_null(engine);
    } else {
        PushNode(engine, session->NodeAt(session->list.front()));
    }
    return 1;
}
duk_ret_t NodeSelectNodes(duk_context* engine) { return NodeSelect(engine, false); }
duk_ret_t NodeSelectSingleNode(duk_context* engine) { return NodeSelect(engine, true); }

// Leaves the list's array of node indexes on the stack.
void ThisList(duk_context* engine) {
    duk_push_this(engine);
    duk_get_prop_string(engine, -1, DUK_HIDDEN_SYMBOL("nodes"));
    if (!duk_is_array(engine, -1)) (void)duk_type_error(engine, "not a node list");
}

void PushItem(duk_context* engine, double at) {
    // The array sits at -1, the list at -2.
    const double length = static_cast<double>(duk_get_length(engine, -1));
    if (!(at >= 0 && at < length)) {
        duk_push_null(engine);
        return;
    }
    duk_get_prop_index(engine, -1, static_cast<duk_uarridx_t>(at));
    const double index = duk_get_number(engine, -1);
    duk_pop(engine);
    PushNode(engine, SessionOf(engine)->NodeAt(index));
}

duk_ret_t ListLength(duk_context* engine) {
    ThisList(engine);
    duk_push_uint(engine, static_cast<duk_uint_t>(duk_get_length(engine, -1)));
    return 1;
}
duk_ret_t ListItem(duk_context* engine) {
    const double at = duk_to_number(engine, 0);
    ThisList(engine);
    PushItem(engine, at);
    return 1;
}
duk_ret_t ListNextNode(duk_context* engine) {
    ThisList(engine);
    duk_get_prop_string(engine, -2, DUK_HIDDEN_SYMBOL("next"));
    const double at = duk_get_number(engine, -1);
    duk_pop(engine);
    duk_push_number(engine, at + 1);
    duk_put_prop_string(engine, -3, DUK_HIDDEN_SYMBOL("next"));
    PushItem(engine, at);
    return 1;
}
duk_ret_t ListReset(duk_context* engine) {
    ThisList(engine);
    duk_push_uint(engine, 0);
    duk_put_prop_string(engine, -3, DUK_HIDDEN_SYMBOL("next"));
    return 0;
}
duk_ret_t ListNamedItem(duk_context* engine) {
    ArgumentText(engine, 0);
    ThisList(engine);
    ScriptSession* session = SessionOf(engine);
    const duk_size_t length = duk_get_length(engine, -1);
    for (duk_size_t i = 0; i < length; ++i) {
        duk_get_prop_index(engine, -1, static_cast<duk_uarridx_t>(i));
        xmlNodePtr node = session->NodeAt(duk_get_number(engine, -1));
        duk_pop(engine);
        bool same = false;
        if (node != nullptr)
            Guard(engine, [&] {
                std::string name;
                QualifiedName(node, name);
                same = name == std::string_view(session->utf8.data(), session->utf8.size());
            });
        if (same) {
            PushNode(engine, node);
            return 1;
        }
    }
    duk_push_null(engine);
    return 1;
}

struct Property {
    const char* name;
    duk_c_function function;
};

void DefineGetters(duk_context* engine, duk_idx_t object, std::initializer_list<Property> getters) {
    for (const Property& getter : getters) {
        duk_push_string(engine, getter.name);
        duk_push_c_function(engine, getter.function, 0);
        duk_def_prop(engine, object, DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_SET_ENUMERABLE);
    }
}

void DefineMethods(duk_context* engine, duk_idx_t object, std::initializer_list<Property> methods, duk_idx_t arguments) {
    for (const Property& method : methods) {
        duk_push_c_function(engine, method.function, arguments);
        duk_put_prop_string(engine, object, method.name);
    }
}

// Makes the global scope of a namespace: without the engine's own object (JScript has none),
// with the prototypes of nodes and node lists, frozen, where scripts cannot reach them.
void PrepareGlobal(duk_context* engine) {
    duk_push_global_object(engine);
    const duk_idx_t global = duk_get_top_index(engine);
    duk_del_prop_string(engine, global, "Duktape");

    duk_push_object(engine);
    duk_idx_t prototype = duk_get_top_index(engine);
    DefineGetters(engine, prototype,
                  {{"nodeName", NodeName}, {"nodeValue", NodeValue}, {"nodeType", NodeType}, {"text", NodeText},
                   {"xml", NodeXml}, {"attributes", NodeAttributes}, {"childNodes", NodeChildNodes},
                   {"firstChild", NodeFirstChild}, {"lastChild", NodeLastChild}, {"parentNode", NodeParent},
                   {"nextSibling", NodeNextSibling}, {"previousSibling", NodePreviousSibling}});
    DefineMethods(engine, prototype,
                  {{"getAttribute", NodeGetAttribute}, {"selectNodes", NodeSelectNodes},
                   {"selectSingleNode", NodeSelectSingleNode}},
                  1);
    duk_freeze(engine, prototype);
    duk_put_prop_string(engine, global, DUK_HIDDEN_SYMBOL("NodePrototype"));

    for (const bool attributes : {false, true}) {
        duk_push_object(engine);
        prototype = duk_get_top_index(engine);
        DefineGetters(engine, prototype, {{"length", ListLength}});
        DefineMethods(engine, prototype, {{"item", ListItem}}, 1);
        DefineMethods(engine, prototype, {{"nextNode", ListNextNode}, {"reset", ListReset}}, 0);
        if (attributes) DefineMethods(engine, prototype, {{"getNamedItem", ListNamedItem}}, 1);
        duk_freeze(engine, prototype);
        duk_put_prop_string(engine, global,
                            attributes ? DUK_HIDDEN_SYMBOL("AttributesPrototype") : DUK_HIDDEN_SYMBOL("ListPrototype"));
    }
    duk_pop(engine);
}

duk_ret_t PrepareScope(duk_context* engine, void* data) {
    auto* session = static_cast<ScriptSession*>(data);
    PrepareGlobal(engine);
    const ScriptNamespace& space = *session->preparing;
    for (session->preparingBlock = 0; session->preparingBlock < space.blocks.size(); ++session->preparingBlock) {
        const ScriptBlock& block = space.blocks[session->preparingBlock];
        Guard(engine, [&] { EngineTextFromUtf8(block.source, session->source); });
        duk_push_string(engine, "script");
        duk_compile_lstring_filename(engine, 0, session->source.data(), session->source.size());
        duk_call(engine, 0);
        duk_pop(engine);
    }
    return 0;
}

duk_ret_t MakeScope(duk_context* heap, void* data) {
    auto** engine = static_cast<duk_context**>(data);
    duk_push_heap_stash(heap);
    duk_push_thread_new_globalenv(heap);
    *engine = duk_get_context(heap, -1);
    // The stash keeps the thread, and with it its global scope, as long as the heap.
    duk_put_prop_index(heap, -2, static_cast<duk_uarridx_t>(duk_get_length(heap, -2)));
    duk_pop(heap);
    return 0;
}

void PushValue(duk_context* engine, const ScriptValue& value);

duk_ret_t CallFunction(duk_context* engine, void* data) {
    auto* session = static_cast<ScriptSession*>(data);
    duk_push_global_object(engine);
    duk_get_prop_lstring(engine, -1, session->functionName.data(), session->functionName.size());
    if (!duk_is_function(engine, -1)) {
        session->missing = true;
        return 0;
    }
    for (const auto& argument : session->arguments) PushValue(engine, argument);
    duk_call(engine, static_cast<duk_idx_t>(session->arguments.size()));
    return 1;
}

}  // namespace

std::uint32_t ScriptSession::Register(xmlNodePtr node) {
    const auto found = indexes_.find(node);
    if (found != indexes_.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(node);
    try {
        indexes_.emplace(node, index);
    } catch (...) {
        nodes_.pop_back();
        throw;
    }
    return index;
}

void ScriptSession::Function(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
    ScriptSession* session = context != nullptr ? Of(context) : nullptr;
    if (session == nullptr) {
        xmlXPathErr(parser, XPATH_UNKNOWN_FUNC_ERROR);
        return;
    }
    try {
        session->Call(parser, argumentCount);
    } catch (...) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
    }
}

void ScriptSession::Argument(xmlXPathObjectPtr object, ScriptValue& into) {
    into.nodes.clear();
    switch (object->type) {
    case XPATH_NUMBER:
        into.kind = ValueKind::Number;
        into.number = object->floatval;
        return;
    case XPATH_BOOLEAN:
        into.kind = ValueKind::Boolean;
        into.boolean = object->boolval != 0;
        return;
    case XPATH_NODESET:
    case XPATH_XSLT_TREE: {
        into.kind = ValueKind::Nodes;
        const xmlNodeSetPtr nodes = object->nodesetval;
        for (int i = 0; nodes != nullptr && i < nodes->nodeNr; ++i) {
            xmlNodePtr node = nodes->nodeTab[i];
            // Namespace nodes are copies that die with the node set; the scripts do not get them.
            if (node == nullptr || !IsShown(node)) continue;
            if (node->doc != nullptr && XSLT_IS_RES_TREE_FRAG(node->doc)) {
                // The same place in a copy of the fragment, made once per call and fragment.
                std::vector<std::pair<xmlNodePtr, bool>> path;
                for (xmlNodePtr step = node; step != nullptr && !IsDocument(step); step = step->parent)
                    path.emplace_back(step, step->type == XML_ATTRIBUTE_NODE);
                xmlDocPtr& copy = copyOfCall_[node->doc];
                if (copy == nullptr) {
                    DocumentHandle made(xmlCopyDoc(node->doc, 1));
                    if (!made) throw std::bad_alloc();
                    // Not a fragment of libxslt's: it keeps no tables of its own on it.
                    xmlFree(made->name);
                    made->name = nullptr;
                    copies_.push_back(std::move(made));
                    copy = copies_.back().get();
                }
                xmlNodePtr mirrored = reinterpret_cast<xmlNodePtr>(copy);
                for (auto step = path.rbegin(); step != path.rend() && mirrored != nullptr; ++step) {
                    xmlNodePtr original = step->first;
                    if (step->second) {
                        int position = 0;
                        for (xmlAttrPtr a = original->parent->properties; a != nullptr && a != reinterpret_cast<xmlAttrPtr>(original); a = a->next) ++position;
                        xmlAttrPtr a = mirrored->properties;
                        while (a != nullptr && position-- > 0) a = a->next;
                        mirrored = reinterpret_cast<xmlNodePtr>(a);
                    } else {
                        int position = 0;
                        for (xmlNodePtr c = original->parent->children; c != nullptr && c != original; c = c->next) ++position;
                        xmlNodePtr c = mirrored->children;
                        while (c != nullptr && position-- > 0) c = c->next;
                        mirrored = c;
                    }
                }
                if (mirrored == nullptr) continue;
                node = mirrored;
            }
            into.nodes.push_back(Register(node));
        }
        return;
    }
    case XPATH_STRING:
        into.kind = ValueKind::String;
        EngineTextFromUtf8(View(object->stringval), into.text);
        return;
    default: {
        into.kind = ValueKind::String;
        const LibraryString text(xmlXPathCastToString(object));
        if (!text) throw std::bad_alloc();
        EngineTextFromUtf8(View(text.get()), into.text);
        return;
    }
    }
}

namespace {

void PushValue(duk_context* engine, const ScriptValue& value) {
    ScriptSession* session = SessionOf(engine);
    switch (value.kind) {
    case ValueKind::String: duk_push_lstring(engine, value.text.data(), value.text.size()); break;
    case ValueKind::Number: duk_push_number(engine, value.number); break;
    case ValueKind::Boolean: duk_push_boolean(engine, value.boolean ? 1 : 0); break;
    case ValueKind::Nodes:
        Guard(engine, [&] { session->list.assign(value.nodes.begin(), value.nodes.end()); });
        PushList(engine, DUK_HIDDEN_SYMBOL("ListPrototype"));
        break;
    }
}

// Reads the script's value at the top of the stack into the session's result.
duk_ret_t ReadResult(duk_context* engine, void* data) {
    auto* session = static_cast<ScriptSession*>(data);
    auto& result = session->result;
    const duk_idx_t top = 0;
    result.nodes.clear();
    if (duk_is_boolean(engine, top)) {
        result.kind = ValueKind::Boolean;
        result.boolean = duk_get_boolean(engine, top) != 0;
        return 0;
    }
    if (duk_is_number(engine, top)) {
        result.kind = ValueKind::Number;
        result.number = duk_get_number(engine, top);
        return 0;
    }
    result.kind = ValueKind::String;
    if (duk_is_null_or_undefined(engine, top)) {
        result.text.clear();
        return 0;
    }
    if (duk_is_object(engine, top)) {
        if (duk_get_prop_string(engine, top, DUK_HIDDEN_SYMBOL("node")) && duk_is_number(engine, -1)) {
            const double index = duk_get_number(engine, -1);
            if (session->NodeAt(index) != nullptr) {
                result.kind = ValueKind::Nodes;
                Guard(engine, [&] { result.nodes.push_back(static_cast<std::uint32_t>(index)); });
                return 0;
            }
        }
        duk_pop(engine);
        if (duk_get_prop_string(engine, top, DUK_HIDDEN_SYMBOL("nodes")) && duk_is_array(engine, -1)) {
            result.kind = ValueKind::Nodes;
            const duk_size_t length = duk_get_length(engine, -1);
            for (duk_size_t i = 0; i < length; ++i) {
                duk_get_prop_index(engine, -1, static_cast<duk_uarridx_t>(i));
                const double index = duk_get_number(engine, -1);
                duk_pop(engine);
                if (session->NodeAt(index) != nullptr)
                    Guard(engine, [&] { result.nodes.push_back(static_cast<std::uint32_t>(index)); });
            }
            return 0;
        }
        duk_pop(engine);
    }
    duk_size_t length = 0;
    const char* chars = duk_to_lstring(engine, top, &length);
    Guard(engine, [&] { Utf8FromEngineText(std::string_view(chars, length), result.text); });
    return 0;
}

// The parts of an error value: its text, and its line when it has one.
struct ErrorParts {
    std::string* text;
    long line = 0;
    bool referenceError = false;
};

duk_ret_t ReadError(duk_context* engine, void* data) {
    auto* parts = static_cast<ErrorParts*>(data);
    const duk_idx_t error = 0;
    if (duk_is_error(engine, error)) {
        parts->referenceError = duk_get_error_code(engine, error) == DUK_ERR_REFERENCE_ERROR;
        duk_get_prop_string(engine, error, "lineNumber");
        if (duk_is_number(engine, -1)) parts->line = static_cast<long>(duk_get_number(engine, -1));
        duk_pop(engine);
    }
    duk_size_t length = 0;
    const char* chars = duk_safe_to_lstring(engine, error, &length);
    ScriptSession* session = SessionOf(engine);
    Guard(engine, [&] {
        Utf8FromEngineText(std::string_view(chars, length), session->utf8);
        parts->text->assign(session->utf8.data(), session->utf8.size());
    });
    return 0;
}

}  // namespace

std::string ScriptSession::DescribeError(duk_context* engine, const char* doing) {
    std::string text;
    ErrorParts parts{&text};
    // Reading the error may run the script's code; the bound of time still holds there.
    if (duk_safe_call(engine, ReadError, &parts, 1, 1) != DUK_EXEC_SUCCESS || text.empty()) text = "Error";
    duk_pop(engine);
    std::string reason = doing + text;
    if (parts.line > 0) reason += " (line " + std::to_string(parts.line) + ")";
    if (parts.referenceError &&
        (text.find("'ActiveXObject'") != std::string::npos || text.find("'WScript'") != std::string::npos ||
         text.find("'GetObject'") != std::string::npos))
        reason += ": scripts run without host objects (no ActiveXObject, WScript or GetObject)";
    return reason;
}

void ScriptSession::Fail(xmlXPathParserContextPtr parser, const std::string& reason) {
    failed_ = true;
    xsltTransformError(context_, nullptr, InstructionOf(context_), "%s\n", reason.c_str());
    StopTransform(context_);
    valuePush(parser, xmlXPathNewCString(""));
}

bool ScriptSession::Prepare(const ScriptNamespace& space, std::size_t index, std::string& failure) {
    if (scopes_[index].ready) return true;
    duk_context* heap = heap_.get();
    duk_context* engine = nullptr;
    const bool made = duk_safe_call(heap, MakeScope, &engine, 0, 1) == DUK_EXEC_SUCCESS;
    duk_pop(heap);
    if (!made || engine == nullptr) {
        failure = "there is not enough memory for its scripts";
        return false;
    }
    scopes_[index].engine = engine;
    preparing = &space;
    preparingBlock = 0;
    const duk_int_t prepared = duk_safe_call(engine, PrepareScope, this, 0, 1);
    if (prepared != DUK_EXEC_SUCCESS) {
        const std::size_t blockIndex = preparingBlock < space.blocks.size() ? preparingBlock : 0;
        const ScriptBlock* block = space.blocks.empty() ? nullptr : &space.blocks[blockIndex];
        failure = "the msxsl:script block" + (block != nullptr ? Place(block->url, block->line) : std::string()) +
                  " failed: " + DescribeError(engine, "");
        return false;
    }
    duk_pop(engine);
    scopes_[index].ready = true;
    return true;
}

void ScriptSession::Call(xmlXPathParserContextPtr parser, int argumentCount) {
    const std::string name(View(parser->context->function));
    const std::string uri(View(parser->context->functionURI));
    std::vector<std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)>> values;
    for (int i = 0; i < argumentCount; ++i) {
        xmlXPathObjectPtr popped = valuePop(parser);
        if (popped == nullptr) {
            xmlXPathErr(parser, XPATH_STACK_ERROR);
            return;
        }
        values.emplace_back(popped, xmlXPathFreeObject);
    }
    if (failed_) {
        // The transformation stops; calls until it has are answered without running anything.
        valuePush(parser, xmlXPathNewCString(""));
        return;
    }
    const ScriptNamespace* space = scripts_->Find(uri);
    std::size_t spaceIndex = 0;
    while (space != nullptr && &scripts_->namespaces[spaceIndex] != space) ++spaceIndex;
    const std::string qualified = (space != nullptr ? space->prefix : std::string()) + ":" + name;
    if (space == nullptr) return Fail(parser, "The script function " + qualified + " is not defined");
    if (space->blocks.empty())
        return Fail(parser, "The script function " + qualified + " cannot run: its msxsl:script block is written in " +
                                space->otherLanguage + ", which does not run here (only JScript and JavaScript do)");

    if (!heap_) {
        heap_.reset(duk_create_heap(EngineAllocate, EngineReallocate, EngineFree, this, EngineFatal));
        if (!heap_) return Fail(parser, "The script function " + qualified + " cannot run: there is not enough memory");
        scopes_.resize(scripts_->namespaces.size());
    }
    copyOfCall_.clear();
    arguments.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) Argument(values[values.size() - 1 - i].get(), arguments[i]);
    EngineTextFromUtf8(name, functionName);
    missing = false;

    running_ = true;
    startTime_ = ThreadTime();
    std::string failure;
    bool ready = Prepare(*space, spaceIndex, failure);
    duk_context* engine = scopes_[spaceIndex].engine;
    duk_int_t called = DUK_EXEC_SUCCESS;
    if (ready) {
        called = duk_safe_call(engine, CallFunction, this, 0, 1);
        if (called == DUK_EXEC_SUCCESS && !missing) called = duk_safe_call(engine, ReadResult, this, 1, 1);
        if (called != DUK_EXEC_SUCCESS)
            failure = DescribeError(engine, "");
        else
            duk_pop(engine);
    }
    usedTime_ += ThreadTime() - startTime_;
    running_ = false;

    if (stop_ == Stop::Time)
        return Fail(parser, "The script function " + qualified + " was stopped: the scripts of a transformation may take " +
                                BoundText() + " seconds of processor time at most");
    if (stop_ == Stop::Memory)
        return Fail(parser, "The script function " + qualified + " was stopped: the memory budget is exceeded");
    if (!ready) return Fail(parser, "The script function " + qualified + " cannot run: " + failure);
    if (called != DUK_EXEC_SUCCESS) return Fail(parser, "The script function " + qualified + " failed: " + failure);
    if (missing)
        return Fail(parser, "The script function " + qualified + " is not defined: no msxsl:script block for \"" + uri +
                                "\" defines a function of that name");

    xmlXPathObjectPtr value = nullptr;
    switch (result.kind) {
    case ValueKind::String: value = xmlXPathNewString(Chars(std::string(result.text.data(), result.text.size()).c_str())); break;
    case ValueKind::Number: value = xmlXPathNewFloat(result.number); break;
    case ValueKind::Boolean: value = xmlXPathNewBoolean(result.boolean ? 1 : 0); break;
    case ValueKind::Nodes:
        value = xmlXPathNewNodeSet(nullptr);
        if (value != nullptr && value->nodesetval != nullptr) {
            for (std::uint32_t index : result.nodes) {
                if (xmlXPathNodeSetAddUnique(value->nodesetval, nodes_[index]) != 0) {
                    xmlXPathFreeObject(value);
                    value = nullptr;
                    break;
                }
            }
            if (value != nullptr) xmlXPathNodeSetSort(value->nodesetval);
        }
        break;
    }
    if (value == nullptr) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
        return;
    }
    valuePush(parser, value);
}

void ScriptSessionDeleter::operator()(ScriptSession* session) const noexcept { delete session; }

ScriptSessionHandle StartScripts(_xsltTransformContext* context, const StylesheetScriptsPtr& scripts,
                                 bool* failed) noexcept {
    *failed = false;
    if (!scripts || context == nullptr) return nullptr;
    ScriptSessionHandle session(new (std::nothrow) ScriptSession(context, scripts));
    if (!session) *failed = true;
    return session;
}

void SetScriptTimeBoundForTesting(double seconds) noexcept {
    const double bound = seconds > 0 ? seconds : kScriptSecondsPerTransformation;
    gTimeBoundNanoseconds.store(static_cast<std::int64_t>(bound * 1e9));
}

}  // namespace xmlservice

extern "C" int xmlservice_script_must_stop(void* heapData) {
    auto* session = static_cast<xmlservice::ScriptSession*>(heapData);
    return session != nullptr && session->MustStop() ? 1 : 0;
}
