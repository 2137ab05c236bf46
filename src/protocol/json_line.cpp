#include "protocol/json_line.h"

#include <charconv>
#include <cmath>

#include "protocol/utf8.h"

namespace korvalin {

namespace {

// File names need not be UTF-8: what is not is written as U+FFFD, so that
// the event still reaches the host.
void encodeString(const std::string& s, std::string& out)
{
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            Utf8Step step = utf8StepAt(s, i);
            if (step.valid)
                out.append(s, i, step.length);
            else
                out += replacementCharacter;
            i += step.length;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

template <typename T>
void encodeNumber(T value, std::string& out)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

bool encode(const Json& value, std::string& out)
{
    switch (value.type()) {
    case Json::value_t::null: out += "null"; return true;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return true;
    case Json::value_t::number_integer: encodeNumber(value.get<int64_t>(), out); return true;
    case Json::value_t::number_unsigned: encodeNumber(value.get<uint64_t>(), out); return true;
    case Json::value_t::number_float: {
        double d = value.get<double>();
        if (!std::isfinite(d))
            return false;
        encodeNumber(d, out);
        return true;
    }
    case Json::value_t::string: encodeString(value.get_ref<const std::string&>(), out); return true;
    case Json::value_t::array: {
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out += ',';
            first = false;
            if (!encode(element, out))
                return false;
        }
        out += ']';
        return true;
    }
    case Json::value_t::object: {
        // nlohmann's object is a std::map keyed by std::string: byte order.
        out += '{';
        bool first = true;
        for (const auto& [key, element] : value.items()) {
            if (!first)
                out += ',';
            first = false;
            encodeString(key, out);
            out += ':';
            if (!encode(element, out))
                return false;
        }
        out += '}';
        return true;
    }
    default: return false;
    }
}

} // namespace

std::optional<std::string> encodeJson(const Json& value)
{
    std::string out;
    if (!encode(value, out))
        return std::nullopt;
    return out;
}

} // namespace korvalin
