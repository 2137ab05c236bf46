// The segment writer's encoding speed and the MP4 box scanner's reads.
//
//   media_bench [raw.f32]   raw: interleaved stereo float at 48 kHz to encode
//                           (bench/run_media.py hands the same file to ffmpeg);
//                           without it, 10 minutes of a synthetic signal.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "segment/segment_writer.h"
#include "tools/mp4_box.h"

namespace {

constexpr int rate = 48000;
constexpr int64_t blockFrames = 9600;  // 0.2 s, as the writer thread hands them over
std::vector<float> samples;

std::filesystem::path scratch()
{
    auto dir = std::filesystem::temp_directory_path() / ("korvalin-media-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

void loadSamples(const char* raw)
{
    if (raw) {
        std::ifstream file(raw, std::ios::binary | std::ios::ate);
        samples.resize(static_cast<size_t>(file.tellg()) / sizeof(float));
        file.seekg(0);
        file.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
        return;
    }
    samples.resize(static_cast<size_t>(rate) * 600 * 2);
    for (size_t i = 0; i < samples.size() / 2; ++i) {
        samples[2 * i] = static_cast<float>(0.4 * std::sin(2 * M_PI * 440 * i / rate));
        samples[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * 1333 * i / rate + std::sin(i * 1e-4)));
    }
}

void writerEncodes(benchmark::State& state)
{
    const std::string path = (scratch() / "writer.m4a").string();
    const int64_t frames = static_cast<int64_t>(samples.size() / 2);
    for (auto _ : state) {
        korvalin::SegmentWriter writer(path, rate, true);
        for (int64_t done = 0; done < frames; done += blockFrames)
            writer.append(samples.data() + 2 * done, std::min(blockFrames, frames - done));
        benchmark::DoNotOptimize(writer.finish(0));
    }
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(state.iterations() * frames) / rate, benchmark::Counter::kIsRate);
    std::filesystem::remove_all(scratch());
}

// Bytes this process has read so far.
long long bytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

// A 2 GB sparse file: ftyp, then moof/mdat pairs of about 64 KiB, headers only.
std::string sparseFragmentedFile()
{
    const std::string path = (scratch() / "sparse.m4a").string();
    const uint64_t length = 2ull << 30;
    int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto header = [&](uint64_t offset, uint32_t size, const char* type) {
        unsigned char bytes[8] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                                  static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
        std::copy(type, type + 4, bytes + 4);
        (void)!::pwrite(handle, bytes, 8, static_cast<off_t>(offset));
    };
    header(0, 24, "ftyp");
    uint64_t offset = 24;
    while (length - offset >= 65536 + 1024) {
        header(offset, 1024, "moof");
        header(offset + 1024, 65536, "mdat");
        offset += 1024 + 65536;
    }
    header(offset, static_cast<uint32_t>(length - offset), "free");
    (void)!::ftruncate(handle, static_cast<off_t>(length));
    ::close(handle);
    return path;
}

void boxScanReadsHeaders(benchmark::State& state)
{
    const std::string path = sparseFragmentedFile();
    size_t boxes = 0;
    long long read = 0;
    for (auto _ : state) {
        const long long before = bytesRead();
        auto slice = korvalin::FileSlice::open(path);
        boxes = korvalin::Mp4::topLevelBoxes(*slice).size();
        read = bytesRead() - before;
    }
    state.counters["boxes"] = static_cast<double>(boxes);
    state.counters["bytes_read"] = static_cast<double>(read);
    std::filesystem::remove_all(scratch());
}

BENCHMARK(writerEncodes)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(boxScanReadsHeaders)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    static platform::FfmpegMedia media;
    static platform::PosixSystem system;
    platform::current().media = &media;
    platform::current().system = &system;
    benchmark::Initialize(&argc, argv);
    loadSamples(argc > 1 ? argv[1] : nullptr);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
