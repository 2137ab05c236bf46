#include "media_test_support.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include "segment/segment_writer.h"

namespace testsupport {

ScratchDir::ScratchDir()
{
    std::random_device random;
    path = std::filesystem::temp_directory_path() / ("korvalin-media-test-" + std::to_string(random()));
    std::filesystem::create_directories(path);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string commandOutput(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::string probe(const std::string& path, const std::string& entry)
{
    const bool format = entry.starts_with("format=");
    std::string show = format ? entry : "stream=" + entry;
    std::string text = commandOutput("ffprobe -v error " + std::string(format ? "" : "-select_streams a:0 ") +
                                     "-show_entries " + show + " -of default=nw=1:nk=1 '" + path + "'");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::vector<float> decodeWithFfmpeg(const std::string& path, int channels)
{
    std::string raw = commandOutput("ffmpeg -v error -i '" + path + "' -ac " + std::to_string(channels) +
                                    " -f f32le -");
    std::vector<float> samples(raw.size() / sizeof(float));
    std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<float> stereoTone(int rate, double hz, int64_t frames)
{
    std::vector<float> samples(frames * 2);
    for (int64_t i = 0; i < frames; ++i) {
        float value = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / rate));
        samples[2 * i] = value;
        samples[2 * i + 1] = -value;
    }
    return samples;
}

void writeSegment(const std::string& path, int rate, double hz, double seconds)
{
    const auto frames = static_cast<int64_t>(rate * seconds);
    std::vector<float> tone = stereoTone(rate, hz, frames);
    korvalin::SegmentWriter writer(path, rate, true);
    writer.append(tone.data(), frames);
    writer.finish(0);
}

std::vector<std::string> boxTypes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> types;
    unsigned char header[8];
    while (file.read(reinterpret_cast<char*>(header), 8)) {
        uint32_t size = uint32_t(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
        types.emplace_back(reinterpret_cast<char*>(header + 4), 4);
        if (size < 8)
            break;
        file.seekg(size - 8, std::ios::cur);
    }
    return types;
}

double frequency(const std::vector<float>& interleaved, int channels, int channel, int rate, int64_t begin, int64_t end)
{
    int crossings = 0;
    for (int64_t f = begin + 1; f < end; ++f)
        if (interleaved[(f - 1) * channels + channel] < 0 && interleaved[f * channels + channel] >= 0)
            ++crossings;
    return crossings * static_cast<double>(rate) / static_cast<double>(end - begin);
}

} // namespace testsupport

namespace testsupport {

ToneFit fitTone(const std::vector<float>& interleaved, int channels, int channel, int rate, double hz, int64_t begin,
                int64_t end)
{
    // A quarter of a radian between neighbouring blocks: far beyond what
    // coding noise moves a tone 25 dB above it, far below any real splice.
    constexpr double splicePhase = 0.25;
    const int64_t block = rate / 100;
    const double step = 2 * M_PI * hz / rate;
    ToneFit fit{0, 0};
    double tone = 0, rest = 0, lastPhase = 0;
    for (int64_t first = begin; first + block <= end; first += block) {
        std::complex<double> sum;
        for (int64_t f = first; f < first + block; ++f)
            sum += static_cast<double>(interleaved[f * channels + channel]) * std::polar(1.0, -step * f);
        const std::complex<double> amplitude = 2.0 * sum / static_cast<double>(block);
        for (int64_t f = first; f < first + block; ++f) {
            const double fitted = (amplitude * std::polar(1.0, step * f)).real();
            const double residue = interleaved[f * channels + channel] - fitted;
            tone += fitted * fitted;
            rest += residue * residue;
        }
        const double phase = std::arg(amplitude);
        if (first > begin && std::abs(std::remainder(phase - lastPhase, 2 * M_PI)) > splicePhase)
            ++fit.splices;
        lastPhase = phase;
    }
    fit.toneToRestDb = 10 * std::log10(tone / std::max(rest, 1e-30));
    return fit;
}

} // namespace testsupport
