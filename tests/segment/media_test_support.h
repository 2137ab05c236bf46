#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Independent judges of media files (the ffprobe and ffmpeg programs) and
// scratch space for the files under test.

namespace testsupport {

// A fresh directory, removed with everything in it at the end of the scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

// The standard output of a shell command.
std::string commandOutput(const std::string& command);

// One ffprobe entry of the first audio stream or the format ("codec_name",
// "format=duration", ...); empty when ffprobe does not report it.
std::string probe(const std::string& path, const std::string& entry);

// The file decoded by ffmpeg to interleaved float at its own rate.
std::vector<float> decodeWithFfmpeg(const std::string& path, int channels);

// Interleaved stereo sine, amplitude 0.5.
std::vector<float> stereoTone(int rate, double hz, int64_t frames);

// A segment as the capture engine writes it: `seconds` of stereoTone.
void writeSegment(const std::string& path, int rate, double hz, double seconds);

// The top-level box types of an MP4 file, in order.
std::vector<std::string> boxTypes(const std::string& path);

// How a steady sine of `hz` fares over frames [begin, end) of one channel,
// fitted in 10-ms blocks: the blocks whose phase jumps from the one before
// (a splice: frames lost, repeated or smeared), and the power of the fitted
// tone over that of everything else, in dB.
struct ToneFit {
    int splices;
    double toneToRestDb;
};
ToneFit fitTone(const std::vector<float>& interleaved, int channels, int channel, int rate, double hz, int64_t begin,
                int64_t end);

// Crossings of zero upwards per second over frames [begin, end) of one channel.
double frequency(const std::vector<float>& interleaved, int channels, int channel, int rate, int64_t begin, int64_t end);

} // namespace testsupport
