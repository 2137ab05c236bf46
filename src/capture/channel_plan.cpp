#include "capture/channel_plan.h"

#include <algorithm>

namespace korvalin {

namespace {

// The ranges covering global channels [from, from + count), split at buffer
// borders; buffers without channels yield none.
std::vector<ChannelRange> ranges(const std::vector<int>& buffers, int from, int count)
{
    std::vector<ChannelRange> result;
    if (count < 1)
        return result;
    int end = from + count;
    int base = 0;
    for (size_t i = 0; i < buffers.size(); ++i) {
        int top = base + std::max(buffers[i], 0);
        int lo = std::max(base, from);
        int hi = std::min(end, top);
        if (lo < hi)
            result.push_back({int(i), lo - base, hi - lo});
        if (top >= end)
            break;
        base = top;
    }
    return result;
}

std::string render(const std::vector<ChannelRange>& list)
{
    if (list.empty())
        return "—";
    std::string text;
    for (const ChannelRange& range : list) {
        if (!text.empty())
            text += "+";
        text += "buf" + std::to_string(range.buffer) + "[" + std::to_string(range.start) + "..<" +
                std::to_string(range.start + range.count) + "]";
    }
    return text;
}

} // namespace

ChannelPlan makeChannelPlan(const std::vector<int>& buffers, int micChannels, int systemChannels)
{
    int total = 0;
    for (int channels : buffers)
        total += std::max(channels, 0);
    int wanted = std::max(micChannels, 0) + std::max(systemChannels, 0);
    int micShare = std::max(std::min(total, micChannels), 0);

    ChannelPlan plan;
    if (std::min(total, micChannels) >= 1)
        plan.mic = ranges(buffers, 0, 1);
    plan.system = ranges(buffers, micShare, std::max(std::min(total - micShare, systemChannels), 0));
    plan.exact = total > 0 && total == wanted;
    return plan;
}

std::string ChannelPlan::description() const
{
    return "mic=" + render(mic) + " sys=" + render(system) + (exact ? "" : " (přibližné)");
}

} // namespace korvalin
