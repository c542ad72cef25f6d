#include "xslt/xpath_text.h"

#include <cctype>

namespace xmlservice {
namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
// Names may hold any non-ASCII character; outside literals XPath has no other use for them.
bool IsNameStart(char c) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || std::isalpha(byte) != 0 || c == '_';
}
bool IsNameChar(char c) noexcept { return IsNameStart(c) || IsDigit(c) || c == '.' || c == '-'; }

std::size_t NameEnd(std::string_view text, std::size_t at) noexcept {
    while (at < text.size() && IsNameChar(text[at])) ++at;
    return at;
}

// The end of the QName or prefix:* that starts at `at`; a following "::" is an axis, not a prefix.
std::size_t QualifiedNameEnd(std::string_view text, std::size_t at) noexcept {
    std::size_t end = NameEnd(text, at);
    if (end + 1 < text.size() && text[end] == ':' && text[end + 1] != ':') {
        if (text[end + 1] == '*') return end + 2;
        if (IsNameStart(text[end + 1])) return NameEnd(text, end + 1);
    }
    return end;
}

}  // namespace

bool IsXPathSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::optional<CountedVector<XPathToken>> TokenizeXPath(std::string_view text) {
    CountedVector<XPathToken> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        std::size_t end = at + 1;
        XPathTokenKind kind = XPathTokenKind::Other;
        if (IsXPathSpace(c)) {
            ++at;
            continue;
        }
        if (c == '"' || c == '\'') {
            end = text.find(c, at + 1);
            if (end == std::string_view::npos) return std::nullopt;
            ++end;
            kind = XPathTokenKind::Literal;
        } else if (IsDigit(c) || (c == '.' && IsDigit(next))) {
            while (end < text.size() && IsDigit(text[end])) ++end;
            if (IsDigit(c) && end < text.size() && text[end] == '.') {
                ++end;
                while (end < text.size() && IsDigit(text[end])) ++end;
            }
            kind = XPathTokenKind::Number;
        } else if (c == '$') {
            if (!IsNameStart(next)) return std::nullopt;
            end = QualifiedNameEnd(text, at + 1);
            kind = XPathTokenKind::Variable;
        } else if (IsNameStart(c)) {
            end = QualifiedNameEnd(text, at);
            kind = XPathTokenKind::Name;
        } else if ((c == '/' && next == '/') || (c == ':' && next == ':') || (c == '.' && next == '.') ||
                   (next == '=' && (c == '!' || c == '<' || c == '>'))) {
            end = at + 2;
        } else if (std::string_view("/()[]@,|+-=<>*.").find(c) == std::string_view::npos) {
            return std::nullopt;
        }
        tokens.push_back({kind, at, end});
        at = end;
    }
    return tokens;
}

bool IsChildNameStep(std::string_view expression) noexcept {
    const auto startsName = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    const auto continuesName = [&](char c) { return startsName(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; };
    if (expression.empty() || !startsName(expression.front())) return false;
    for (const char c : expression.substr(1))
        if (!continuesName(c)) return false;
    return true;
}

bool HeldInOnePlace(const xmlNode* first, const xmlChar*& text) noexcept {
    static const xmlChar kNoText[] = "";
    if (first == nullptr) {
        text = kNoText;
        return true;
    }
    if (first->next != nullptr || (first->type != XML_TEXT_NODE && first->type != XML_CDATA_SECTION_NODE)) return false;
    text = first->content != nullptr ? first->content : kNoText;
    return true;
}

bool ChildStepHeldText(const xmlNode* node, const xmlChar* name, const xmlChar*& text) noexcept {
    const xmlNode* first = nullptr;
    VisitChildStep(node, name, [&](const xmlNode* child) {
        first = child;
        return false;
    });
    return HeldInOnePlace(first != nullptr ? first->children : nullptr, text);
}

}  // namespace xmlservice
