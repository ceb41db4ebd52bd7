#ifndef XELEMENT_XMLDEPTH_H
#define XELEMENT_XMLDEPTH_H

#include <cstddef>

// The element nesting depth that TinyXML would build from the first `length`
// bytes of `text` (root = 1, 0 without elements), found by walking the text
// with TinyXML's own tokenising rules but without building anything. It never
// reports less than TinyXML builds; it may report more where TinyXML gives up
// on an error the scan does not look for (such as a repeated attribute).
// Stops as soon as the depth exceeds `limit` and returns limit + 1 then.
// A text with at most `limit` '<' characters is not walked: its count of '<'
// is returned, which is never less than its depth.
int xmlNestingDepth(const char* text, size_t length, int limit);

// The same walk without the shortcut for texts with few '<' characters.
int xmlWalkDepth(const char* text, size_t length, int limit);

#endif
