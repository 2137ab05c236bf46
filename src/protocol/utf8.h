#pragma once

#include <string>
#include <string_view>

namespace korvalin {

// One step through a byte string: a well-formed UTF-8 sequence, or the
// maximal ill-formed subsequence that one U+FFFD stands for.
struct Utf8Step {
    size_t length;
    bool valid;
};

// The step starting at bytes[i] (i < bytes.size()).
Utf8Step utf8StepAt(std::string_view bytes, size_t i);

inline constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Valid UTF-8 for any byte string: every maximal ill-formed subsequence
// becomes one U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace korvalin
