#include "protocol/json_line.h"

#include <charconv>
#include <cmath>

namespace korvalin {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one.
size_t utf8Length(const std::string& s, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c == 0xE0) { n = 3; lo = 0xA0; }
    else if (c == 0xED) { n = 3; hi = 0x9F; }
    else if (c >= 0xE1 && c <= 0xEF) n = 3;
    else if (c == 0xF0) { n = 4; lo = 0x90; }
    else if (c == 0xF4) { n = 4; hi = 0x8F; }
    else if (c >= 0xF1 && c <= 0xF3) n = 4;
    else return 0;
    if (i + n > s.size())
        return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return n;
}

bool encodeString(const std::string& s, std::string& out)
{
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t n = utf8Length(s, i);
            if (n == 0)
                return false;
            out.append(s, i, n);
            i += n;
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
    return true;
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
    case Json::value_t::string: return encodeString(value.get_ref<const std::string&>(), out);
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
            if (!encodeString(key, out))
                return false;
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
