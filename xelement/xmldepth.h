#ifndef XELEMENT_XMLDEPTH_H
#define XELEMENT_XMLDEPTH_H

// The element nesting depth of the tree TinyXML builds from `text` (root =
// 1, 0 without elements), found without building it and without recursion.
// The text is read as TinyXML reads it: up to its first NUL, which must be
// followed by at least four more zero bytes (TinyXML steps over a whole UTF-8
// sequence at once). The result is exact wherever TinyXML parses without an
// error; where it gives up on a repeated attribute it may be larger, never
// smaller. Stops as soon as the depth exceeds `limit` and returns limit + 1.
int xmlNestingDepth(const char* text, int limit);

#endif
