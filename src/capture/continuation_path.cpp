#include "capture/continuation_path.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

namespace korvalin {

std::string continuationPath(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);

    std::string base = stem;
    int64_t counter = 1;
    size_t tilde = stem.rfind('~');
    if (tilde != std::string::npos) {
        std::string digits = stem.substr(tilde + 1);
        int64_t value = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        bool allDigits = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
        if (allDigits && error == std::errc() && end == digits.data() + digits.size() && value < INT64_MAX) {
            base = stem.substr(0, tilde);
            counter = value + 1;
        }
    }

    char padded[32];
    std::snprintf(padded, sizeof padded, "%03lld", static_cast<long long>(counter));
    std::string next = base + "~" + padded;
    if (!extension.empty())
        next += "." + extension;
    return directory + next;
}

} // namespace korvalin
