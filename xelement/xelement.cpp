#include "xelement.h"

#include "regularfile.h"
#include "xmldepth.h"

#include <tinyxml.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

xml_error::xml_error(const std::string& message) : std::runtime_error(message) {}

XElement::XElement() = default;

XElement::XElement(const std::string& name) : name(name) {}

void XElement::appendElement(const std::shared_ptr<XElement>& child)
{
    if (child)
        elements.push_back(child);
}

bool XElement::hasAttribute(const std::string& name) const
{
    return attributes.find(name) != attributes.end();
}

std::string XElement::getAttribute(const std::string& name, const std::string& def) const
{
    auto it = attributes.find(name);
    return it == attributes.end() ? def : it->second;
}

std::string XElement::getAttribute(const std::string& name, const char* def) const
{
    return getAttribute(name, def ? std::string(def) : std::string());
}

bool XElement::getAttribute(const std::string& name, bool def) const
{
    const std::string value = getAttribute(name, std::string());
    if (value == "true" || value == "True")
        return true;
    if (value == "false" || value == "False")
        return false;
    return def;
}

namespace {

// Runs one of the C library's conversions on the text; the default wins when
// nothing was converted or errno reports a range error.
template <typename T, typename Convert>
T convertNumber(const std::string& value, T def, Convert convert)
{
    if (value.empty())
        return def;
    const char* start = value.c_str();
    char* end = nullptr;
    errno = 0;
    const T result = convert(start, &end);
    if (end == start || errno == ERANGE)
        return def;
    return result;
}

// Formats like vsnprintf into a buffer of `size` characters, growing it
// should a value ever need more, so that nothing is cut.
std::string formatNumber(size_t size, const char* format, ...)
{
    std::vector<char> buffer(size);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) >= buffer.size()) {
        buffer.resize(static_cast<size_t>(n) + 1);
        va_start(args, format);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
    }
    return std::string(buffer.data(), static_cast<size_t>(n));
}

} // namespace

int XElement::getAttribute(const std::string& name, int def) const
{
    const long wide = convertNumber<long>(getAttribute(name, std::string()), def,
                                          [](const char* s, char** e) { return std::strtol(s, e, 10); });
    if (wide < INT_MIN || wide > INT_MAX)
        return def;
    return static_cast<int>(wide);
}

long long XElement::getAttribute(const std::string& name, long long def) const
{
    return convertNumber<long long>(getAttribute(name, std::string()), def,
                                    [](const char* s, char** e) { return std::strtoll(s, e, 10); });
}

float XElement::getAttribute(const std::string& name, float def) const
{
    return convertNumber<float>(getAttribute(name, std::string()), def,
                                [](const char* s, char** e) { return std::strtof(s, e); });
}

double XElement::getAttribute(const std::string& name, double def) const
{
    return convertNumber<double>(getAttribute(name, std::string()), def,
                                 [](const char* s, char** e) { return std::strtod(s, e); });
}

bool XElement::hasElements(const std::string& name) const
{
    for (const auto& child : elements)
        if (child->name == name)
            return true;
    return false;
}

std::vector<std::shared_ptr<XElement>> XElement::getElements(const std::string& name) const
{
    std::vector<std::shared_ptr<XElement>> found;
    for (const auto& child : elements)
        if (child->name == name)
            found.push_back(child);
    return found;
}

void XElement::setAttribute(const std::string& name, const std::string& value)
{
    attributes[name] = value;
}

void XElement::setAttribute(const std::string& name, const char* value)
{
    attributes[name] = value ? value : "";
}

void XElement::setAttribute(const std::string& name, bool value)
{
    attributes[name] = value ? "true" : "false";
}

void XElement::setAttribute(const std::string& name, int value)
{
    attributes[name] = formatNumber(16, "%d", value);
}

void XElement::setAttribute(const std::string& name, long long value)
{
    attributes[name] = formatNumber(32, "%lld", value);
}

void XElement::setAttribute(const std::string& name, float value)
{
    attributes[name] = formatNumber(58, "%f", static_cast<double>(value));
}

void XElement::setAttribute(const std::string& name, double value)
{
    attributes[name] = formatNumber(328, "%f", value);
}

// Fills this element from a TinyXML element and frees the TinyXML children as
// they are converted, so that the two trees never both exist whole.
void XElement::take(void* untypedNode)
{
    auto* node = static_cast<TiXmlElement*>(untypedNode);
    // Names, values and texts end at their first NUL (a "&#0;" reference
    // makes one): toString writes them as C strings, so what is read is
    // also what is written.
    name = node->Value();
    // TinyXML refuses a document with a repeated attribute, so every name
    // here is new to the map.
    for (const TiXmlAttribute* a = node->FirstAttribute(); a; a = a->Next())
        attributes.emplace(a->Name(), a->Value());
    for (TiXmlNode* child = node->FirstChild(); child;) {
        TiXmlNode* next = child->NextSibling();
        if (child->Type() == TiXmlNode::TINYXML_ELEMENT) {
            auto element = std::make_shared<XElement>();
            element->take(child);
            elements.push_back(std::move(element));
        } else if (child->Type() == TiXmlNode::TINYXML_TEXT) {
            text = child->Value();
        }
        node->RemoveChild(child);
        child = next;
    }
}

namespace {

// Whether the text holds more than `limit` '<' characters.
bool manyTags(const char* text, size_t length, int limit)
{
    const char* end = text + length;
    int count = 0;
    for (const char* p = text; p < end && count <= limit; ++p, ++count)
        if (!(p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)))))
            return false;
    return count > limit;
}

} // namespace

std::shared_ptr<XElement> XElement::fromText(std::string buffer, const std::string& source)
{
    // The text ends at its first NUL. The zero bytes appended keep TinyXML
    // inside the buffer: it steps over a whole UTF-8 sequence at once and so
    // can skip up to three bytes past the terminator.
    buffer.resize(std::strlen(buffer.c_str()));
    const size_t length = buffer.size();
    buffer.append(4, '\0');

    const std::string where = source.empty() ? std::string() : " in " + source;
    // TinyXML's parser is recursive; a deep document would exhaust the stack.
    // Every element begins at a '<' of its own, so a text with no more '<'
    // than the limit cannot be too deep and needs no walk.
    if (manyTags(buffer.data(), length, maxDepth) && xmlNestingDepth(buffer.c_str(), maxDepth) > maxDepth)
        throw xml_error("XML elements nested deeper than " + std::to_string(maxDepth) + " levels" + where + ".");

    TiXmlDocument document;
    document.Parse(buffer.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    std::string().swap(buffer); // the document holds copies of everything it needs
    TiXmlElement* root = document.FirstChildElement();
    if (!root)
        throw xml_error("No root element.");
    if (document.Error()) {
        std::string message = "Malformed XML" + where;
        if (document.ErrorRow() > 0)
            message += " at line " + std::to_string(document.ErrorRow()) + ", column " +
                       std::to_string(document.ErrorCol());
        throw xml_error(message + ": " + document.ErrorDesc());
    }
    auto element = std::make_shared<XElement>();
    element->take(root);
    return element;
}

std::shared_ptr<XElement> XElement::fromString(const std::string& xml)
{
    // Room for the padding fromText appends, so that the text is copied once.
    std::string buffer;
    buffer.reserve(xml.size() + 4);
    buffer.assign(xml);
    return fromText(std::move(buffer), std::string());
}

std::shared_ptr<XElement> XElement::fromFile(const std::string& path)
{
    // A FIFO or a device would make the read wait or never end: only a
    // regular file of at most REGULARFILE_LIMIT bytes is read.
    std::string content, why;
    const int result = regularfile::readWhole(path, content, why);
    if (result == -1)
        throw xml_error("Can't open file : " + path);
    if (result != 0)
        throw xml_error("Can't read file : " + path + ": " + why);
    return fromText(std::move(content), path);
}

void XElement::store(void* untypedNode)
{
    auto* node = static_cast<TiXmlElement*>(untypedNode);
    node->SetValue(name.c_str());
    for (const auto& attribute : attributes)
        node->SetAttribute(attribute.first.c_str(), attribute.second.c_str());
    if (!text.empty())
        node->LinkEndChild(new TiXmlText(text.c_str()));
    for (const auto& child : elements) {
        auto* childNode = new TiXmlElement(child->name.c_str());
        child->store(childNode);
        node->LinkEndChild(childNode);
    }
}

std::string XElement::toString()
{
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
    auto* root = new TiXmlElement(name.c_str());
    document.LinkEndChild(root);
    store(root);
    TiXmlPrinter printer;
    printer.SetIndent("  ");
    document.Accept(&printer);
    return printer.CStr();
}

void XElement::toFile(const std::string& path)
{
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file.is_open())
        throw xml_error("Can't open file : " + path);
    file << toString();
    file.close();
}
