#include "tools/analyze.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>

#include "protocol/error_code.h"
#include "segment/media_facts.h"
#include "tools/level.h"
#include "tools/track_decoder.h"

namespace korvalin::Analyze {

namespace {

constexpr int measuredChannels = 16;

// Running totals over the decoded frames.
struct Totals {
    int channels = 0;  // from the first buffer with a usable format
    double sampleRate = 0;
    int64_t frames = 0;
    std::array<float, measuredChannels> peaks{};
    std::array<double, measuredChannels> energies{};

    void add(const platform::PcmBuffer& buffer)
    {
        if (channels == 0) {
            if (buffer.channels < 1)
                return;
            channels = buffer.channels;
            sampleRate = buffer.sampleRate;
        }
        if (!buffer.samples || buffer.channels != channels)
            return;
        const int measured = std::min(channels, measuredChannels);
        for (int64_t f = 0; f < buffer.frames; ++f) {
            const float* frame = buffer.samples + f * channels;
            for (int c = 0; c < measured; ++c) {
                peaks[c] = std::max(peaks[c], std::fabs(frame[c]));
                energies[c] += static_cast<double>(frame[c]) * frame[c];
            }
        }
        frames += buffer.frames;
    }

    double rmsDb(int channel) const
    {
        if (frames < 1 || channel < 0 || channel >= measuredChannels)
            return -120.0;
        return levelDb(static_cast<float>(std::sqrt(energies[channel] / static_cast<double>(frames))));
    }
};

int fail(EventWriter& events, const std::string& message, int status = 1)
{
    events.emit(errorEvent(rawValue(ErrorCode::badCommand), message, true));
    return status;
}

} // namespace

int run(const std::string& path, EventWriter& events)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return fail(events, "soubor " + path + " neexistuje", 2);
    // Everything below reads this one descriptor.
    FileHandle file = openMediaFile(path);
    AssetInfo info = loadAssetInfo(file.get());
    if (!info.audioTrack)
        return fail(events, path + " neobsahuje čitelnou zvukovou stopu");

    Totals totals;
    totals.sampleRate = info.sampleRate.value_or(0);
    auto failure =
        decodeTrack(file.get(), *info.audioTrack, {}, [&](const platform::PcmBuffer& buffer) { totals.add(buffer); });
    if (failure) {
        using Stage = DecodeFailure::Stage;
        switch (failure->stage) {
        case Stage::open:
            return fail(events, path + " nelze otevřít");
        case Stage::output:
            return fail(events, path + ": dekodér odmítl nastavení");
        case Stage::start:
            return fail(events, path + ": čtení nezačalo");
        case Stage::read:
            break;
        }
        return fail(events, path + ": " + failure->detail.value_or("čtení selhalo"));
    }
    // A track that never gave one decodable frame has nothing to analyze.
    if (totals.channels == 0)
        return fail(events, path + " neobsahuje čitelnou zvukovou stopu");

    const bool rateKnown = std::isfinite(totals.sampleRate) && totals.sampleRate > 0;
    const bool timed = totals.frames >= 1 && rateKnown;
    Event analysis{{"ev", "analysis"},
                   {"path", path},
                   {"channels", totals.channels},
                   {"sample_rate", rateKnown ? static_cast<int64_t>(totals.sampleRate) : int64_t{0}},
                   {"frames", totals.frames},
                   {"bytes", fileSize(file.get())},
                   {"duration_ms", timed ? static_cast<int64_t>(std::round(totals.frames / totals.sampleRate * 1000.0))
                                         : durationMs(info.duration)}};
    const std::array<const char*, 2> sides{"left", "right"};
    for (int c = 0; c < std::min(totals.channels, 2); ++c) {
        analysis[std::string(sides[c]) + "_peak_db"] = roundedLevel(levelDb(totals.peaks[c]));
        analysis[std::string(sides[c]) + "_rms_db"] = roundedLevel(totals.rmsDb(c));
    }
    events.emit(analysis);
    return 0;
}

} // namespace korvalin::Analyze
