// TinyXML parses an element by calling itself for each child element, so a
// deep enough document exhausts the stack. This walk reads a text the way
// TiXmlDocument::Parse does, with TinyXML's own functions for everything but
// elements: its white-space and name readers, its identification of a node,
// and the Parse of a text, comment, unknown node, declaration and attribute.
// Only TiXmlElement::Parse and ReadValue are redone, with the recursion into
// child elements turned into a loop over a stack of the open elements. Where
// TinyXML returns a null pointer, which ends the whole parse, the walk ends.

#include "xmldepth.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// TinyXML's protected helpers, made reachable; never instantiated.
struct Steps : TiXmlBase {
    using TiXmlBase::IsAlpha;
    using TiXmlBase::ReadName;
    using TiXmlBase::SkipWhiteSpace;
    using TiXmlBase::StringEqual;
};

class Walk {
public:
    explicit Walk(int limit) : limit(limit) {}

    // TiXmlDocument::Parse without building anything.
    int run(const char* p)
    {
        if (!p || !*p)
            return 0;
        if (std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) // a byte-order mark
            encoding = TIXML_ENCODING_UTF8;
        while (skip(p)) {
            const Kind kind = identify(p);
            if (kind == Kind::None)
                break;
            p = kind == Kind::Element ? element(p) : leaf(kind, p);
            if (depth > limit)
                return limit + 1;
            if (encoding == TIXML_ENCODING_UNKNOWN && kind == Kind::Declaration) {
                const char* e = declaration.Encoding();
                const bool utf8 = !*e || Steps::StringEqual(e, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                                  Steps::StringEqual(e, "UTF8", true, TIXML_ENCODING_UNKNOWN);
                encoding = utf8 ? TIXML_ENCODING_UTF8 : TIXML_ENCODING_LEGACY;
            }
        }
        return depth;
    }

private:
    enum class Kind { None, Declaration, Comment, Cdata, Unknown, Element, Text };

    const int limit;
    int depth = 0;
    TiXmlEncoding encoding = TIXML_ENCODING_UNKNOWN;
    // One node of each kind, parsed into again and again: only where a node
    // ends matters here.
    TiXmlText text{""};
    TiXmlComment comment;
    TiXmlUnknown unknown;
    TiXmlDeclaration declaration;
    TiXmlAttribute attribute;
    std::string name, attributeName;
    std::vector<std::string> endTags; // "</name" of each open element, innermost last

    bool skip(const char*& p) const
    {
        p = Steps::SkipWhiteSpace(p, encoding);
        return p && *p;
    }

    // TiXmlNode::Identify, naming the kind of node instead of making one.
    Kind identify(const char* p) const
    {
        static const struct { const char* head; bool anyCase; Kind kind; } heads[] = {
            {"<?xml", true, Kind::Declaration}, {"<!--", false, Kind::Comment},
            {"<![CDATA[", false, Kind::Cdata}, {"<!", false, Kind::Unknown}};
        if (!skip(p) || *p != '<')
            return Kind::None;
        for (const auto& h : heads)
            if (Steps::StringEqual(p, h.head, h.anyCase, encoding))
                return h.kind;
        const bool element = Steps::IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_';
        return element ? Kind::Element : Kind::Unknown;
    }

    const char* leaf(Kind kind, const char* p)
    {
        if (kind == Kind::Declaration)
            return declaration.Parse(p, nullptr, encoding);
        if (kind == Kind::Comment)
            return comment.Parse(p, nullptr, encoding);
        if (kind == Kind::Unknown)
            return unknown.Parse(p, nullptr, encoding);
        text.SetCDATA(kind == Kind::Cdata);
        return text.Parse(p, nullptr, encoding);
    }

    // TiXmlAttribute::Parse, with a shortcut for the common case: a quoted
    // value without '&' or (in UTF-8) a multi-byte character, which TinyXML
    // reads a byte at a time up to the next quote.
    const char* attributeEnd(const char* p)
    {
        const char* start = p;
        if (skip(p) && (p = Steps::ReadName(p, &attributeName, encoding)) && skip(p) && *p == '=' && skip(++p) &&
            (*p == '"' || *p == '\'')) {
            const char quote = *p++;
            const bool utf8 = encoding == TIXML_ENCODING_UTF8;
            while (*p && *p != quote && *p != '&' &&
                   !(utf8 && TiXmlBase::utf8ByteTable[static_cast<unsigned char>(*p)] > 1))
                ++p;
            if (*p == quote)
                return p[1] ? p + 1 : nullptr;
        }
        return attribute.Parse(start, nullptr, encoding);
    }

    // The head of TiXmlElement::Parse: '<', the name and the attributes, up
    // to "/>" (the element ends) or '>' (it stays open, its end tag pushed).
    const char* startTag(const char* p)
    {
        // TinyXML links an element into the tree before parsing it, so an
        // element whose start tag fails still counts.
        depth = std::max(depth, static_cast<int>(endTags.size()) + 1);
        if (depth > limit || !skip(p) || *p != '<')
            return nullptr;
        p = Steps::ReadName(Steps::SkipWhiteSpace(p + 1, encoding), &name, encoding);
        while (p && skip(p)) {
            if (*p == '/')
                return p[1] == '>' ? p + 2 : nullptr;
            if (*p == '>') {
                endTags.push_back("</" + name);
                return p + 1;
            }
            p = attributeEnd(p);
        }
        return nullptr;
    }

    // The element at p with everything inside it: the start tag, then
    // TiXmlElement::ReadValue's loop over the content of the innermost open
    // element, in which a child's start tag opens a new innermost element,
    // and the end tag "</name", white space, '>' that closes it.
    const char* element(const char* p)
    {
        p = startTag(p);
        while (p && !endTags.empty()) {
            const char* withWhiteSpace = p;
            while (skip(p) && !Steps::StringEqual(p, "</", false, encoding)) {
                const Kind kind = *p == '<' ? identify(p) : Kind::Text;
                if (kind == Kind::Text && !TiXmlBase::IsWhiteSpaceCondensed())
                    p = withWhiteSpace; // TinyXML keeps leading white space then
                p = kind == Kind::Element ? startTag(p) : leaf(kind, p);
                withWhiteSpace = p;
            }
            if (!p || !*p || !Steps::StringEqual(p, endTags.back().c_str(), false, encoding))
                return nullptr;
            p += endTags.back().size();
            if (!skip(p) || *p != '>')
                return nullptr;
            ++p;
            endTags.pop_back();
        }
        return p;
    }
};

} // namespace

int xmlNestingDepth(const char* text, int limit)
{
    return Walk(limit).run(text);
}
