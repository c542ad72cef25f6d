#include "engine/parsing.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/dict.h>

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

int ReadFromFile(void* file, char* buffer, int length) {
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(length), static_cast<std::FILE*>(file));
    if (got == 0 && std::ferror(static_cast<std::FILE*>(file)) != 0) return -1;
    return static_cast<int>(got);
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
