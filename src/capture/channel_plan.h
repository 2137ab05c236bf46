#pragma once

#include <string>
#include <vector>

namespace korvalin {

// Consecutive channels inside one buffer of the capture device's input.
struct ChannelRange {
    int buffer = 0;
    int start = 0;
    int count = 0;

    bool operator==(const ChannelRange&) const = default;
};

// Which input channels are recorded as the microphone (left) and which as
// system audio (right), and whether the layout was the one expected.
struct ChannelPlan {
    std::vector<ChannelRange> mic;    // at most one range of one channel
    std::vector<ChannelRange> system; // in channel order, possibly over several buffers
    bool exact = false;

    bool operator==(const ChannelPlan&) const = default;

    // "mic=buf0[0..<1] sys=buf1[0..<2]", with " (přibližné)" when not exact.
    std::string description() const;
};

// Channels are numbered across the buffers in order; the microphone
// device's channels come first, the tap's after them. Only the first
// microphone channel is recorded. Negative counts count as 0.
ChannelPlan makeChannelPlan(const std::vector<int>& buffers, int micChannels, int systemChannels);

} // namespace korvalin
