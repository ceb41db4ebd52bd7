#ifndef FWCTL_JSON_H
#define FWCTL_JSON_H

// The companion's JSON, written by hand: its documents are small and flat,
// and the one thing that needs care is text from devices and files, which
// may hold any byte.

#include <string>
#include <utility>
#include <vector>

namespace fwctl {
namespace json {

// A JSON string: quotes, backslashes and every control character escaped,
// each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string text(const std::string& value);

std::string number(long long value);
std::string boolean(bool value);
const char* const null = "null";

// A JSON array of values already written as JSON.
std::string array(const std::vector<std::string>& values);

// A JSON object of fields whose values are already written as JSON, in the
// order given.
class Object {
public:
    Object& operator()(const std::string& key, const std::string& value)
    {
        fields.emplace_back(key, value);
        return *this;
    }
    std::string str() const;

private:
    std::vector<std::pair<std::string, std::string>> fields;
};

} // namespace json
} // namespace fwctl

#endif
