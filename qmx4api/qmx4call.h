#ifndef QMX4API_QMX4CALL_H
#define QMX4API_QMX4CALL_H

// Helpers shared by the layer's sources for calling the C library.

#include <string>
#include <vector>

namespace qmx4api {
namespace detail {

// A zero-filled text buffer of the size the library writes into.
std::vector<char> textBuffer();

// The text in a library buffer, up to its first zero byte or its end.
std::string bufferText(const std::vector<char>& buffer);

// Does nothing for 0; otherwise throws std::runtime_error carrying the
// library's text for the code.
void check(int code);

// A vector's size as the library's int length; throws std::runtime_error
// when it does not fit.
int lengthOf(size_t size);

} // namespace detail
} // namespace qmx4api

#endif
