// The members of libxslt's own structures that the service reads or writes, all in one place.
// libxslt has no functions for them. Every release from 1.1.35 to 1.1.45 declares each of them
// with the same name, type and meaning (later releases only append members to these structures),
// and the service never allocates or frees one of these structures itself, so their sizes do not
// matter. A release outside that range stops the build here, before anything relies on them.
// libxml2's tree, node sets and XPath values (xmlNode, xmlAttr, xmlNs, xmlNodeSet, xmlXPathObject,
// xmlXPathContext, xmlXPathParserContext) are read directly where they are used: their members
// are libxml2's documented interface for extension functions, the same from 2.9.14 to 2.15.
#pragma once

#include <libxslt/imports.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltconfig.h>
#include <libxslt/xsltutils.h>

static_assert(LIBXSLT_VERSION >= 10135 && LIBXSLT_VERSION < 10146,
              "the members read in libxslt_fields.h are known for libxslt 1.1.35 to 1.1.45");

namespace xmlservice {

// xsltTransformContext::xpathCtxt: the XPath context in which the transformation evaluates
// everything, where the service registers its functions.
inline xmlXPathContextPtr XPathContextOf(xsltTransformContextPtr context) noexcept { return context->xpathCtxt; }

// xsltTransformContext::style: the compiled stylesheet that runs; its imports follow through
// xsltNextImport.
inline xsltStylesheetPtr StylesheetOf(xsltTransformContextPtr context) noexcept { return context->style; }

// xsltTransformContext::state: a transformation stopped this way ends at its next step, as
// libxslt's own fatal errors end it.
inline void StopTransform(xsltTransformContextPtr context) noexcept {
    if (context != nullptr) context->state = XSLT_STATE_STOPPED;
}
inline bool TransformStopped(xsltTransformContextPtr context) noexcept {
    return context->state == XSLT_STATE_STOPPED;
}
// True when nothing went wrong: neither an error nor a stop.
inline bool TransformSucceeded(xsltTransformContextPtr context) noexcept { return context->state == XSLT_STATE_OK; }

// xsltTransformContext::debugStatus: the transformation's copy of libxslt's debugger status,
// taken when its context is made; off, the transformation runs without the debugger's checks.
inline void RunWithoutDebugger(xsltTransformContextPtr context) noexcept { context->debugStatus = XSLT_DEBUG_NONE; }

// xsltTransformContext::insert: the result node that the instruction being executed adds to.
inline xmlNodePtr InsertionPointOf(xsltTransformContextPtr context) noexcept { return context->insert; }

// xsltTransformContext::inst: the instruction being executed, which libxslt's messages locate.
inline xmlNodePtr InstructionOf(xsltTransformContextPtr context) noexcept { return context->inst; }

// xsltTransformContext::node and ::inst: the current node (current() answers it) and the
// instruction being executed; a key's expressions are evaluated with them set as libxslt sets them.
struct TransformPlace {
    xmlNodePtr node;
    xmlNodePtr instruction;
};
inline TransformPlace SaveTransformPlace(xsltTransformContextPtr context) noexcept {
    return {context->node, context->inst};
}
inline void SetTransformPlace(xsltTransformContextPtr context, xmlNodePtr node, xmlNodePtr instruction) noexcept {
    context->node = node;
    context->inst = instruction;
}
inline void RestoreTransformPlace(xsltTransformContextPtr context, const TransformPlace& place) noexcept {
    SetTransformPlace(context, place.node, place.instruction);
}

// Evaluating expressions of its own (a key's match and use, a sort's select) moves the
// transformation's place and its XPath context's node, document, position, size and in-scope
// namespaces; the caller's are put back when this goes out of scope, on every way out.
class EvaluationScope {
public:
    EvaluationScope(xsltTransformContextPtr context, xmlXPathContextPtr xpath) noexcept
        : context_(context),
          xpath_(xpath),
          place_(SaveTransformPlace(context)),
          node_(xpath->node),
          doc_(xpath->doc),
          position_(xpath->proximityPosition),
          size_(xpath->contextSize),
          namespaceCount_(xpath->nsNr),
          namespaces_(xpath->namespaces) {}
    ~EvaluationScope() {
        xpath_->node = node_;
        xpath_->doc = doc_;
        xpath_->proximityPosition = position_;
        xpath_->contextSize = size_;
        xpath_->nsNr = namespaceCount_;
        xpath_->namespaces = namespaces_;
        RestoreTransformPlace(context_, place_);
    }
    EvaluationScope(const EvaluationScope&) = delete;
    EvaluationScope& operator=(const EvaluationScope&) = delete;

private:
    xsltTransformContextPtr context_;
    xmlXPathContextPtr xpath_;
    TransformPlace place_;
    xmlNodePtr node_;
    xmlDocPtr doc_;
    int position_;
    int size_;
    int namespaceCount_;
    xmlNsPtr* namespaces_;
};

// xsltTransformContext::nodeList: the list that a sort function puts in order, in place.
inline xmlNodeSetPtr SortListOf(xsltTransformContextPtr context) noexcept { return context->nodeList; }

// xsltStylesheet::keys: the module's xsl:key definitions, a list of xsltKeyDef whose members
// next, inst, name, nameURI, use (the text of the use expression), comp, usecomp, nsList and
// nsNr the key tables read.
inline xsltKeyDefPtr KeyDefinitionsOf(xsltStylesheetPtr style) noexcept {
    return static_cast<xsltKeyDefPtr>(style->keys);
}

// xsltStylesheet::keyMatch of the stylesheet or any module it imports: the templates whose
// pattern is a key() call, whose matching makes libxslt mark the source document's nodes.
inline bool HasKeyPatterns(xsltStylesheetPtr style) noexcept {
    for (; style != nullptr; style = xsltNextImport(style))
        if (style->keyMatch != nullptr) return true;
    return false;
}

// xsltStylesheet::preComps: the module's compiled instructions, a list through
// xsltElemPreComp::next. An instruction's type and function (::type, ::func) tell what runs it;
// libxslt calls the function for every execution, so the service may replace it before the
// stylesheet first runs.
inline xsltElemPreCompPtr CompiledInstructionsOf(xsltStylesheetPtr style) noexcept { return style->preComps; }
inline xsltElemPreCompPtr NextCompiledInstruction(xsltElemPreCompPtr compiled) noexcept { return compiled->next; }
// True for an xsl:value-of that libxslt's own function runs.
inline bool IsLibxsltValueOf(xsltElemPreCompPtr compiled) noexcept {
    return compiled->type == XSLT_FUNC_VALUEOF && compiled->func == xsltValueOf;
}
inline void RunInstructionWith(xsltElemPreCompPtr compiled, xsltTransformFunction function) noexcept {
    compiled->func = function;
}

// An xsl:value-of as compiled, an xsltStylePreComp like every instruction of XSLT itself: the text
// of its select (::select), whether that compiled (::comp), and disable-output-escaping (::noescape).
struct ValueOfInstruction {
    const xmlChar* select;
    bool compiled;
    int disableOutputEscaping;
};
inline ValueOfInstruction ValueOfFields(xsltElemPreCompPtr compiled) noexcept {
    const auto* valueOf = reinterpret_cast<const xsltStylePreComp*>(compiled);
    return {valueOf->select, valueOf->comp != nullptr, valueOf->noescape};
}

// xsltStylesheet::errors: the errors met while compiling; a stylesheet with any does not run.
inline int CompileErrorsOf(xsltStylesheetPtr style) noexcept { return style->errors; }

// xsltStylesheet::encoding of the module of highest import precedence that names one (the
// xsl:output encoding); null for none.
inline const xmlChar* OutputEncodingOf(xsltStylesheetPtr style) noexcept {
    const xmlChar* encoding = nullptr;
    XSLT_GET_IMPORT_PTR(encoding, style, encoding)
    return encoding;
}

}  // namespace xmlservice
