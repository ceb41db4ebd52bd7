#ifndef TESTS_TINYXMLDEPTH_H
#define TESTS_TINYXMLDEPTH_H

// The element nesting depth of the tree TinyXML itself builds from a text,
// read the way XElement reads it: up to the first NUL, zero-padded.

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

inline int parsedDepth(const std::string& text)
{
    std::string buffer(text.c_str());
    buffer.append(4, '\0');
    TiXmlDocument document;
    document.Parse(buffer.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    return treeDepth(&document);
}

} // namespace tinyxmldepth

#endif
