#include "xmldepth.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// The walk follows TinyXML 2.6.2 step by step: how it identifies a node from
// the bytes after '<', how it skips white space (and byte-order marks once the
// document is UTF-8), how it reads a character (a UTF-8 lead byte swallows the
// bytes after it, whatever they are; '&' starts an entity, and a numeric one
// runs to the next ';' anywhere in the text), and where comments, CDATA,
// declarations, unknown nodes and attribute values end. Wherever TinyXML
// returns a null pointer and so ends the whole parse, the walk ends too.

namespace {

enum class Encoding { Unknown, Utf8, Legacy };

constexpr size_t npos = static_cast<size_t>(-1);

class Scanner {
public:
    Scanner(const unsigned char* text, size_t length) : s(text), n(length) {}

    int run(int limit);

private:
    const unsigned char* s;
    size_t n;
    Encoding encoding = Encoding::Unknown;

    unsigned char at(size_t p) const { return p < n ? s[p] : 0; }
    bool live(size_t p) const { return p != npos && at(p) != 0; }

    static bool isSpace(unsigned char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static bool isAlpha(unsigned char c)
    {
        return c >= 127 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }
    static bool isAlphaNum(unsigned char c) { return isAlpha(c) || (c >= '0' && c <= '9'); }
    static int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
    static bool startsWithNoCase(const std::string& text, const char* prefix)
    {
        size_t i = 0;
        for (; prefix[i]; ++i)
            if (i >= text.size() || lower(static_cast<unsigned char>(text[i])) != prefix[i])
                return false;
        return true;
    }

    static int utf8Length(unsigned char c)
    {
        if (c >= 0xc2 && c <= 0xdf)
            return 2;
        if (c >= 0xe0 && c <= 0xef)
            return 3;
        if (c >= 0xf0 && c <= 0xf4)
            return 4;
        return 1;
    }

    bool equal(size_t p, const char* tag, bool ignoreCase) const;
    size_t skipSpace(size_t p) const;
    size_t readName(size_t p) const;
    size_t entity(size_t p, std::string* out) const;
    size_t character(size_t p, std::string* out) const;
    size_t readText(size_t p, bool trim, const char* end, std::string* out) const;
    size_t attribute(size_t p, std::string* value) const;
    size_t text(size_t p) const;
    size_t cdata(size_t p) const;
    size_t comment(size_t p) const;
    size_t unknown(size_t p) const;
    size_t declaration(size_t p, std::string* encodingName) const;

    enum class Node { None, Declaration, Comment, Cdata, Unknown, Element };
    Node identify(size_t p) const;
    size_t leaf(Node kind, size_t p, std::string* encodingName) const;
    size_t element(size_t p, int limit, int& maxDepth) const;
};

bool Scanner::equal(size_t p, const char* tag, bool ignoreCase) const
{
    if (!live(p))
        return false;
    for (; *tag; ++tag, ++p) {
        const unsigned char c = at(p);
        if (c == 0)
            return false;
        if (ignoreCase ? lower(c) != lower(static_cast<unsigned char>(*tag)) : c != static_cast<unsigned char>(*tag))
            return false;
    }
    return true;
}

size_t Scanner::skipSpace(size_t p) const
{
    if (!live(p))
        return npos;
    while (at(p)) {
        if (encoding == Encoding::Utf8 && at(p) == 0xef &&
            ((at(p + 1) == 0xbb && at(p + 2) == 0xbf) || (at(p + 1) == 0xbf && (at(p + 2) == 0xbe || at(p + 2) == 0xbf)))) {
            p += 3;
            continue;
        }
        if (!isSpace(at(p)))
            break;
        ++p;
    }
    return p;
}

size_t Scanner::readName(size_t p) const
{
    if (!live(p) || !(isAlpha(at(p)) || at(p) == '_'))
        return npos;
    while (at(p) && (isAlphaNum(at(p)) || at(p) == '_' || at(p) == '-' || at(p) == '.' || at(p) == ':'))
        ++p;
    return p;
}

// One entity at '&'. Numeric references run to the next ';' of the whole
// text and must hold only digits between it and the '#' or last 'x'.
size_t Scanner::entity(size_t p, std::string* out) const
{
    if (at(p + 1) == '#' && at(p + 2)) {
        const bool hex = at(p + 2) == 'x';
        const size_t from = hex ? p + 3 : p + 2;
        if (hex && !at(p + 3))
            return npos;
        const void* semi = from < n ? std::memchr(s + from, ';', n - from) : nullptr;
        if (!semi)
            return npos;
        const size_t q = static_cast<size_t>(static_cast<const unsigned char*>(semi) - s);
        unsigned long code = 0;
        unsigned mult = 1; // 32 bits wide, as in TinyXML; only the low byte is ever used.
        for (size_t r = q - 1; at(r) != (hex ? 'x' : '#'); --r) {
            const unsigned char c = at(r);
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return npos;
            code += mult * digit;
            mult *= hex ? 16 : 10;
        }
        if (out)
            out->push_back(static_cast<char>(code)); // Only read outside UTF-8 mode.
        return q + 1;
    }
    static const struct { const char* text; char value; } named[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& e : named) {
        if (equal(p, e.text, false)) {
            if (out)
                out->push_back(e.value);
            return p + std::strlen(e.text);
        }
    }
    return p + 1; // An unknown entity: TinyXML drops the '&' and goes on.
}

size_t Scanner::character(size_t p, std::string* out) const
{
    const int length = encoding == Encoding::Utf8 ? utf8Length(at(p)) : 1;
    if (length > 1)
        return p + static_cast<size_t>(length); // Even past a NUL, as TinyXML does.
    if (at(p) == '&')
        return entity(p, out);
    if (out)
        out->push_back(static_cast<char>(at(p)));
    return p + 1;
}

size_t Scanner::readText(size_t p, bool trim, const char* end, std::string* out) const
{
    if (trim)
        p = skipSpace(p);
    while (live(p) && !equal(p, end, false)) {
        if (!out) {
            // Bytes that cannot end the text or start an entity or a UTF-8
            // sequence each advance by one, white space included.
            const bool utf8 = encoding == Encoding::Utf8;
            while (p < n && s[p] && s[p] != static_cast<unsigned char>(end[0]) && s[p] != '&' &&
                   !(utf8 && utf8Length(s[p]) > 1))
                ++p;
            if (!live(p) || equal(p, end, false))
                break;
        }
        p = isSpace(at(p)) && trim ? p + 1 : character(p, out);
    }
    if (live(p))
        p += std::strlen(end);
    return live(p) ? p : npos;
}

size_t Scanner::attribute(size_t p, std::string* value) const
{
    p = skipSpace(p);
    if (!live(p))
        return npos;
    p = readName(p);
    if (!live(p))
        return npos;
    p = skipSpace(p);
    if (!live(p) || at(p) != '=')
        return npos;
    p = skipSpace(p + 1);
    if (!live(p))
        return npos;
    if (value)
        value->clear();
    if (at(p) == '\'')
        return readText(p + 1, false, "'", value);
    if (at(p) == '"')
        return readText(p + 1, false, "\"", value);
    while (live(p) && !isSpace(at(p)) && at(p) != '/' && at(p) != '>') {
        if (at(p) == '\'' || at(p) == '"')
            return npos;
        if (value)
            value->push_back(static_cast<char>(at(p)));
        ++p;
    }
    return p;
}

size_t Scanner::text(size_t p) const
{
    p = readText(p, true, "<", nullptr);
    return live(p) ? p - 1 : npos;
}

size_t Scanner::cdata(size_t p) const
{
    p += 9; // "<![CDATA["
    while (live(p) && !equal(p, "]]>", false))
        ++p;
    return readText(p, false, "]]>", nullptr);
}

size_t Scanner::comment(size_t p) const
{
    p = skipSpace(p) + 4; // "<!--"
    while (live(p) && !equal(p, "-->", false))
        ++p;
    return live(p) ? p + 3 : p;
}

size_t Scanner::unknown(size_t p) const
{
    p = skipSpace(p) + 1;
    while (live(p) && at(p) != '>')
        ++p;
    return at(p) == '>' ? p + 1 : p;
}

size_t Scanner::declaration(size_t p, std::string* encodingName) const
{
    p = skipSpace(p) + 5; // "<?xml"
    while (live(p)) {
        if (at(p) == '>')
            return p + 1;
        p = skipSpace(p);
        if (equal(p, "encoding", true)) {
            p = attribute(p, encodingName);
        } else if (equal(p, "version", true) || equal(p, "standalone", true)) {
            p = attribute(p, nullptr);
        } else {
            while (live(p) && at(p) != '>' && !isSpace(at(p)))
                ++p;
        }
    }
    return npos;
}

Scanner::Node Scanner::identify(size_t p) const
{
    p = skipSpace(p);
    if (!live(p) || at(p) != '<')
        return Node::None;
    if (equal(p, "<?xml", true))
        return Node::Declaration;
    if (equal(p, "<!--", false))
        return Node::Comment;
    if (equal(p, "<![CDATA[", false))
        return Node::Cdata;
    if (equal(p, "<!", false))
        return Node::Unknown;
    if (isAlpha(at(p + 1)) || at(p + 1) == '_')
        return Node::Element;
    return Node::Unknown;
}

size_t Scanner::leaf(Node kind, size_t p, std::string* encodingName) const
{
    switch (kind) {
    case Node::Declaration: return declaration(p, encodingName);
    case Node::Comment: return comment(p);
    case Node::Cdata: return cdata(p);
    default: return unknown(p);
    }
}

// One element at '<' with everything inside it, iteratively: the stack holds
// the names of the open elements, whose end tags are still to come.
size_t Scanner::element(size_t p, int limit, int& maxDepth) const
{
    struct Open { size_t name, length; };
    std::vector<Open> open;
    bool startTag = true;
    for (;;) {
        if (startTag) {
            // TinyXML links the new element into the tree even when reading
            // its start tag fails, so it counts before its name is read.
            maxDepth = std::max(maxDepth, static_cast<int>(open.size()) + 1);
            if (maxDepth > limit)
                return npos;
            p = skipSpace(p);
            if (!live(p))
                return npos;
            const size_t nameStart = skipSpace(p + 1);
            p = readName(nameStart);
            if (!live(p))
                return npos;
            open.push_back({nameStart, p - nameStart});
            bool content = false;
            while (!content) {
                p = skipSpace(p);
                if (!live(p))
                    return npos;
                if (at(p) == '/') {
                    if (at(p + 1) != '>')
                        return npos;
                    p += 2;
                    open.pop_back();
                    break;
                }
                if (at(p) == '>') {
                    ++p;
                    content = true;
                } else {
                    p = attribute(p, nullptr);
                    if (!live(p))
                        return npos;
                }
            }
            if (open.empty())
                return p;
            startTag = false;
        }
        // Inside the innermost open element: text and child nodes up to "</".
        p = skipSpace(p);
        while (live(p)) {
            if (at(p) != '<') {
                p = text(p);
            } else if (equal(p, "</", false)) {
                break;
            } else {
                const Node kind = identify(p);
                if (kind == Node::Element) {
                    startTag = true;
                    break;
                }
                p = leaf(kind, p, nullptr);
            }
            p = skipSpace(p);
        }
        if (startTag)
            continue;
        if (!live(p))
            return npos;
        const Open& top = open.back();
        // The end tag is "</" and the name, matched as a prefix of the text.
        if (top.length > n - std::min(n, p + 2) || std::memcmp(s + p + 2, s + top.name, top.length) != 0)
            return npos;
        p = skipSpace(p + 2 + top.length);
        if (!live(p) || at(p) != '>')
            return npos;
        ++p;
        open.pop_back();
        if (open.empty())
            return p;
    }
}

int Scanner::run(int limit)
{
    int maxDepth = 0;
    if (at(0) == 0)
        return 0;
    if (at(0) == 0xef && at(1) == 0xbb && at(2) == 0xbf)
        encoding = Encoding::Utf8;
    size_t p = skipSpace(0);
    while (live(p)) {
        const Node kind = identify(p);
        if (kind == Node::None)
            break;
        std::string encodingName;
        if (kind == Node::Element)
            p = element(p, limit, maxDepth);
        else
            p = leaf(kind, p, &encodingName);
        if (maxDepth > limit)
            return limit + 1;
        if (encoding == Encoding::Unknown && kind == Node::Declaration) {
            // TinyXML keeps the value as a C string, so it ends at a NUL.
            const std::string name = encodingName.c_str();
            const bool utf8 = name.empty() || startsWithNoCase(name, "utf-8") || startsWithNoCase(name, "utf8");
            encoding = utf8 ? Encoding::Utf8 : Encoding::Legacy;
        }
        p = skipSpace(p);
    }
    return maxDepth;
}

} // namespace

// The length of the text up to its first NUL.
static size_t untilNul(const char* text, size_t length)
{
    const void* nul = length ? std::memchr(text, 0, length) : nullptr;
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length;
}

int xmlNestingDepth(const char* text, size_t length, int limit)
{
    const char* end = text + untilNul(text, length);
    int opens = 0;
    for (const char* p = text; opens <= limit; ++p, ++opens) {
        p = p < end ? static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p))) : nullptr;
        if (!p)
            return opens;
    }
    return Scanner(reinterpret_cast<const unsigned char*>(text), static_cast<size_t>(end - text)).run(limit);
}

int xmlWalkDepth(const char* text, size_t length, int limit)
{
    return Scanner(reinterpret_cast<const unsigned char*>(text), untilNul(text, length)).run(limit);
}
