#include "protocol/error_code.h"

#include <array>

namespace korvalin {

namespace {
constexpr std::array<std::string_view, 13> rawValues = {
    "bad_command", "bad_json", "busy", "no_segment", "permission_denied",
    "no_device", "tap_failed", "aggregate_failed", "io_failed",
    "writer_failed", "merge_failed", "repair_failed", "internal",
};
} // namespace

std::string_view rawValue(ErrorCode code)
{
    return rawValues[static_cast<size_t>(code)];
}

} // namespace korvalin
