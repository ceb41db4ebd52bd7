#ifndef TESTS_TINYXMLDEPTH_H
#define TESTS_TINYXMLDEPTH_H

// What TinyXML itself makes of a text, read the way XElement reads it (up to
// the first NUL, zero-padded): the nesting depth of the tree it builds, and
// whether it parsed without an error. The depth guard is held against it.

#include <tinyxml.h>

#include <algorithm>
#include <string>

namespace tinyxmldepth {

inline int treeDepth(const TiXmlNode* node)
{
    int deepest = 0;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling())
        if (child->Type() == TiXmlNode::TINYXML_ELEMENT)
            deepest = std::max(deepest, 1 + treeDepth(child));
    return deepest;
}

// The text up to its first NUL, followed by the zero bytes XElement adds.
inline std::string padded(const std::string& text)
{
    std::string buffer(text.c_str());
    buffer.append(4, '\0');
    return buffer;
}

struct Parsed {
    int depth;
    bool accepted; // no parse error
};

inline Parsed parse(const std::string& text)
{
    const std::string buffer = padded(text);
    TiXmlDocument document;
    document.Parse(buffer.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    return {treeDepth(&document), !document.Error()};
}

} // namespace tinyxmldepth

#endif
