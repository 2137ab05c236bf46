#pragma once

#include <string>
#include <string_view>

namespace korvalin {

// Valid UTF-8 for any byte string: every maximal ill-formed subsequence
// becomes one U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace korvalin
