#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace korvalin {

using Json = nlohmann::json;

// The protocol's canonical JSON text: compact, object keys in byte order,
// UTF-8 written raw and ill-formed bytes as U+FFFD, "/" escaped as "\/",
// control characters escaped, integers without a fraction, doubles in
// shortest round-trip form. Nothing when the value cannot be represented
// (NaN, infinity).
std::optional<std::string> encodeJson(const Json& value);

} // namespace korvalin
