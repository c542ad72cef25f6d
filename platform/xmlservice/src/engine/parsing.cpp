#include "engine/parsing.h"

#include "engine/pager.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/dict.h>

#include <cstddef>
#include <cstdio>
#include <limits>
#include <utility>

namespace xmlservice {
namespace {

// Parsing never touches the network, and external DTDs are not asked for. Internal entities
// are expanded; external ones reach the entity loader, which refuses them all. Attribute
// defaults of the internal subset are applied, as XML requires. Short texts are kept inside
// their nodes. XML_PARSE_HUGE lifts libxml2's limits on the length of a single text, value or
// name, which the memory budget covers; ParseHooks takes it back as soon as a document declares
// or uses entities or nests deep, so that the limits on entity expansion and depth stay.
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
    getEntitySAXFunc getEntity = nullptr;
    getParameterEntitySAXFunc getParameterEntity = nullptr;
    int depth = 0;
    // Elements started so far, including those of expanded entities.
    std::ptrdiff_t elements = 0;
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
    // Numbers the element in document order while it is fresh in the cache, the way
    // xmlXPathOrderDocElems numbers a whole tree in one more pass: xmlNode::content of an
    // element is unused by the tree and holds minus its rank (libxml2 2.9.14 to 2.15).
    xmlNodePtr element = static_cast<xmlParserCtxtPtr>(context)->node;
    if (element != nullptr && element->type == XML_ELEMENT_NODE && element->content == nullptr)
        element->content = reinterpret_cast<xmlChar*>(-++hooks.elements);
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

// After a fatal error libxml2 stops calling the declaration handlers but still declares the
// entities of the internal subset, by itself, and expands them where they are referred to. Every
// reference is looked up through these two handlers, also then.
xmlEntityPtr GetEntity(void* context, const xmlChar* name) {
    const xmlEntityPtr entity = tHooks->getEntity(context, name);
    // xmlEntity is public; etype tells the five predefined entities (libxml2 2.9.14 to 2.15).
    if (entity != nullptr && entity->etype != XML_INTERNAL_PREDEFINED_ENTITY) KeepPlainLimits(context);
    return entity;
}

xmlEntityPtr GetParameterEntity(void* context, const xmlChar* name) {
    const xmlEntityPtr entity = tHooks->getParameterEntity(context, name);
    if (entity != nullptr) KeepPlainLimits(context);
    return entity;
}

// A file as the parser reads it, after its byte-order mark, if it has one.
struct FileReader {
    std::FILE* file = nullptr;
    // The first bytes, read to look for a byte-order mark, that were no mark.
    char head[3] = {};
    std::size_t headSize = 0;
    std::size_t headRead = 0;
};

int ReadFromFile(void* context, char* buffer, int length) {
    auto& reader = *static_cast<FileReader*>(context);
    std::size_t given = 0;
    while (reader.headRead < reader.headSize && given < static_cast<std::size_t>(length))
        buffer[given++] = reader.head[reader.headRead++];
    const std::size_t got = std::fread(buffer + given, 1, static_cast<std::size_t>(length) - given, reader.file);
    if (got == 0 && given == 0 && std::ferror(reader.file) != 0) return -1;
    return static_cast<int>(given + got);
}

// The encoding that the byte-order mark at the start of `reader`'s file names, with the mark
// read past; null when the file has none, and then its first bytes are kept for the parser. As
// XML 1.0 (Appendix F) lets it, the mark decides over an encoding declaration that says
// otherwise; libxml2 2.9.14 would follow the declaration and misread the text, newer releases
// follow the mark.
const char* ReadByteOrderMark(FileReader& reader) {
    reader.headSize = std::fread(reader.head, 1, 2, reader.file);
    if (reader.headSize == 2) {
        const auto first = static_cast<unsigned char>(reader.head[0]);
        const auto second = static_cast<unsigned char>(reader.head[1]);
        if (first == 0xFF && second == 0xFE) {
            reader.headSize = 0;
            return "UTF-16LE";
        }
        if (first == 0xFE && second == 0xFF) {
            reader.headSize = 0;
            return "UTF-16BE";
        }
        if (first == 0xEF && second == 0xBB) {
            reader.headSize += std::fread(reader.head + 2, 1, 1, reader.file);
            if (reader.headSize == 3 && static_cast<unsigned char>(reader.head[2]) == 0xBF) {
                reader.headSize = 0;
                return "UTF-8";
            }
        }
    }
    return nullptr;
}

}  // namespace

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
    // The context's own handlers, xmlParserCtxt::sax, are replaced one by one (libxml2 2.9.14 to
    // 2.15; xmlSAXHandler is public).
    xmlSAXHandler& sax = *parser->sax;
    if (sax.startElementNs == nullptr || sax.endElementNs == nullptr || sax.entityDecl == nullptr ||
        sax.elementDecl == nullptr || sax.getEntity == nullptr || sax.getParameterEntity == nullptr) {
        call.Add({"The parser lacks its handlers", true});
        return {};
    }
    hooks.startElement = std::exchange(sax.startElementNs, StartElement);
    hooks.endElement = std::exchange(sax.endElementNs, EndElement);
    hooks.declareEntity = std::exchange(sax.entityDecl, DeclareEntity);
    hooks.declareElement = std::exchange(sax.elementDecl, DeclareElement);
    hooks.getEntity = std::exchange(sax.getEntity, GetEntity);
    hooks.getParameterEntity = std::exchange(sax.getParameterEntity, GetParameterEntity);
    // No external subset is ever read, not even for the attribute defaults it may declare.
    sax.externalSubset = nullptr;
    ParseHooks* const outerHooks = std::exchange(tHooks, &hooks);

    // A large tree is built in fresh memory, whose pages are best faulted in on another core.
    const pager::PagingScope paging;
    const std::size_t errorsBefore = call.ParserErrorCount();
    call.SetActiveParser(parser.get(), url);
    const char* const base = url.empty() ? nullptr : url.c_str();
    DocumentHandle document;
    if (text.file != nullptr) {
        FileReader reader{text.file};
        const char* const marked = ReadByteOrderMark(reader);
        const int options = marked != nullptr ? kParseOptions | XML_PARSE_IGNORE_ENC : kParseOptions;
        document.reset(xmlCtxtReadIO(parser.get(), ReadFromFile, nullptr, &reader, base, marked, options));
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
