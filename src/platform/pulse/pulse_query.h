#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <pulse/pulseaudio.h>

#include "platform/posix/process_exclusion.h"
#include "platform/pulse/pulse_loop.h"

namespace platform {

struct ServerFacts {
    std::string defaultSource;
    std::string defaultSink;
};

// A source or a sink.
struct DeviceFacts {
    uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    uint32_t rate = 0;
    uint32_t channels = 0;
    pa_channel_map map{};
    bool monitor = false;      // a source that is a sink's monitor
    std::string monitorSource; // a sink's monitor source
    bool headphones = false;   // a sink whose active port or form factor is headphones or a headset
};

// Synchronous reads of the server's state. Each locks the loop and waits for
// the answer; nothing when the server does not answer or the object is gone.
namespace PulseQuery {

std::optional<ServerFacts> server(PulseLoop& loop);
std::optional<DeviceFacts> source(PulseLoop& loop, uint32_t index);
std::optional<DeviceFacts> source(PulseLoop& loop, const std::string& name);
std::optional<DeviceFacts> sink(PulseLoop& loop, uint32_t index);
std::optional<DeviceFacts> sink(PulseLoop& loop, const std::string& name);
// The processes that play: each playback stream's application.process.id,
// once, in pid order.
std::vector<int32_t> playingProcesses(PulseLoop& loop);
// A playback stream's application.process.id and .binary, seen now;
// nothing when it has no pid. Both servers pass on what the client says.
std::optional<StreamProcess> processOf(const pa_proplist* properties);

DeviceFacts facts(const pa_source_info& info);
DeviceFacts facts(const pa_sink_info& info);

} // namespace PulseQuery
} // namespace platform
