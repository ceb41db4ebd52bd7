#ifndef XELEMENT_XELEMENT_H
#define XELEMENT_XELEMENT_H

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The exception of the XML model: unreadable files, texts without a root
// element, malformed or too deeply nested XML.
class xml_error : public std::runtime_error {
public:
    // Builds the exception with the given message.
    explicit xml_error(const std::string& message);
};

// One XML element: tag name, character data, attributes (ordered by name)
// and child elements (document order). Trees are held through shared
// pointers; an element knows nothing of its parent.
class XElement {
public:
    // Deepest element nesting that fromString and fromFile accept; deeper
    // documents are refused before they are parsed.
    static constexpr int maxDepth = 256;

    // Creates an element with empty name, text, attributes and children.
    XElement();
    // Creates an element with the given tag name and nothing else.
    explicit XElement(const std::string& name);
    XElement(const XElement&) = delete;
    XElement& operator=(const XElement&) = delete;

    // The tag name.
    const std::string& getName() const { return name; }
    // The character data directly inside the element; empty when none.
    const std::string& getText() const { return text; }
    // All attributes, name to value, ordered by name.
    const std::map<std::string, std::string>& getAttributes() const { return attributes; }
    // All direct children in document order.
    const std::vector<std::shared_ptr<XElement>>& getChildren() const { return elements; }

    // Replaces the character data.
    void setText(const std::string& value) { text = value; }
    // Appends a child; a null pointer is ignored.
    void appendElement(const std::shared_ptr<XElement>& child);

    // True when an attribute with exactly this name exists.
    bool hasAttribute(const std::string& name) const;
    // The attribute's value (also when empty), or def when it is absent.
    std::string getAttribute(const std::string& name, const std::string& def) const;
    // As the string form; lets a string literal default pick the text getter.
    std::string getAttribute(const std::string& name, const char* def) const;
    // true for "true"/"True", false for "false"/"False"; def for anything else.
    bool getAttribute(const std::string& name, bool def) const;
    // Decimal value; def when absent, empty, not a number or outside int.
    int getAttribute(const std::string& name, int def) const;
    // Decimal value; def when absent, empty, not a number or out of range.
    long long getAttribute(const std::string& name, long long def) const;
    // strtof value; def when absent, empty, not a number or out of range.
    float getAttribute(const std::string& name, float def) const;
    // strtod value; def when absent, empty, not a number or out of range.
    double getAttribute(const std::string& name, double def) const;

    // True when at least one direct child has exactly this tag name.
    bool hasElements(const std::string& name) const;
    // The direct children with exactly this tag name, in order; may be empty.
    std::vector<std::shared_ptr<XElement>> getElements(const std::string& name) const;

    // Stores the value unchanged, inserting or replacing the attribute.
    void setAttribute(const std::string& name, const std::string& value);
    // As the string form; lets a string literal pick the text setter (a null
    // pointer stores an empty value).
    void setAttribute(const std::string& name, const char* value);
    // Stores "true" or "false".
    void setAttribute(const std::string& name, bool value);
    // Stores the value formatted with "%d".
    void setAttribute(const std::string& name, int value);
    // Stores the value formatted with "%lld".
    void setAttribute(const std::string& name, long long value);
    // Stores the value, widened to double, formatted with "%f".
    void setAttribute(const std::string& name, float value);
    // Stores the value formatted with "%f".
    void setAttribute(const std::string& name, double value);

    // Reads a file into a tree; throws xml_error when the file cannot be
    // read, holds no element, is malformed or is nested too deeply.
    static std::shared_ptr<XElement> fromFile(const std::string& path);
    // Reads a text (up to its first NUL) into a tree; throws xml_error when it
    // holds no element, is malformed or is nested too deeply.
    static std::shared_ptr<XElement> fromString(const std::string& xml);
    // The tree rooted here as indented XML text with a declaration line.
    std::string toString();
    // Writes toString() to the file; throws xml_error when it cannot be opened.
    void toFile(const std::string& path);

private:
    void take(void* node);
    static std::shared_ptr<XElement> fromText(std::string xml, const std::string& source);
    void store(void* node);

    std::string name;
    std::string text;
    std::map<std::string, std::string> attributes;
    std::vector<std::shared_ptr<XElement>> elements;
};

#endif
