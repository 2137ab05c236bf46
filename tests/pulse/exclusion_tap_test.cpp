// The tap with exclusions on the shared private server: the sum of every
// stream's own capture is what the output's monitor carries (volumes and
// mutes included), and nothing the tap asked of the server outlives it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/pulse/exclusion_tap.h"
#include "platform/pulse/pulse_query.h"
#include "pulse_test_server.h"

using namespace platform;

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t chunk = 960; // 20 ms
constexpr CaptureTiming timing{rate, chunk, chunk};

// A pure tone's amplitude (Goertzel).
double amplitude(const std::vector<float>& samples, double hz)
{
    double coefficient = 2 * std::cos(2 * M_PI * hz / rate), s1 = 0, s2 = 0;
    size_t count = samples.size();
    for (size_t i = 0; i < count; ++i) {
        double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coefficient * s1 * s2)) / double(count);
}

double rms(const std::vector<float>& frames)
{
    double energy = 0;
    for (float sample : frames)
        energy += double(sample) * sample;
    return frames.empty() ? 0 : std::sqrt(energy / double(frames.size()));
}

// Index of the client playback stream that was added last.
std::string lastStream()
{
    return pulsetest::output("pactl list short sink-inputs | awk '$3 != \"-\" {print $1}' | tail -1");
}

class ExclusionTapTest : public pulsetest::OnServer {
protected:
    void SetUp() override
    {
        OnServer::SetUp();
        if (IsSkipped())
            return;
        loop = std::make_unique<PulseLoop>("exclusion tap test", server);
        if (!loop->connect(2.0))
            GTEST_SKIP() << "the private sound server does not answer";
        auto sink = PulseQuery::sink(*loop, "speakers");
        ASSERT_TRUE(sink);
        output = TapOutput{sink->index, sink->monitorSource};
    }

    std::unique_ptr<ExclusionTap> startTap(const PulseLoop::Lock&)
    {
        pa_context* context = loop->context();
        auto tap = std::make_unique<ExclusionTap>(context, loop->api(), context, output, timing, nullptr);
        tap->start();
        return tap;
    }

    // Source-outputs recording the output's monitor.
    int monitorReaders()
    {
        auto monitor = PulseQuery::source(*loop, output.monitorSource);
        return monitor ? std::atoi(pulsetest::output("pactl list short source-outputs | awk '$2 == " +
                                                     std::to_string(monitor->index) + "' | wc -l").c_str())
                       : -1;
    }

    // `seconds` of the tap's mono sum next to the monitor's left channel,
    // read every 20 ms; the last half second of each comes back. The tones
    // play alike on both channels: their mean is the left one.
    void listen(double seconds, std::vector<float>& tapped, std::vector<float>& monitored)
    {
        PulseLoop monitorLoop("exclusion tap test monitor", server);
        ASSERT_TRUE(monitorLoop.connect(2.0));
        auto tap = startTap(PulseLoop::Lock(*loop));
        std::vector<float> summed;
        auto collect = [&summed](const float* samples, size_t frames) {
            if (samples)
                summed.insert(summed.end(), samples, samples + frames * systemChannels);
            else
                summed.resize(summed.size() + frames * systemChannels);
        };
        // The whole monitor, for reference: a plain record stream.
        std::vector<float> mixed;
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 2};
        pa_stream* monitor = nullptr;
        {
            PulseLoop::Lock lock(monitorLoop);
            monitor = pa_stream_new(monitorLoop.context(), "monitor", &spec, nullptr);
            pa_buffer_attr attributes{uint32_t(-1), 0, 0, 0, uint32_t(chunk * 8)};
            pa_stream_connect_record(monitor, output.monitorSource.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY);
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            {
                PulseLoop::Lock lock(*loop);
                size_t silence = tap->mix(collect, chunk); // appends the sum first
                summed.resize(summed.size() + silence * systemChannels);
            }
            PulseLoop::Lock lock(monitorLoop);
            const void* data;
            size_t bytes;
            while (pa_stream_peek(monitor, &data, &bytes) == 0 && bytes > 0) {
                const auto* samples = static_cast<const float*>(data);
                for (size_t i = 0; samples && i < bytes / sizeof(float); i += 2)
                    mixed.push_back(samples[i]);
                pa_stream_drop(monitor);
            }
        }
        {
            PulseLoop::Lock lock(monitorLoop);
            pa_stream_disconnect(monitor);
            pa_stream_unref(monitor);
        }
        PulseLoop::Lock lock(*loop);
        tap.reset();
        size_t keep = rate / 2;
        ASSERT_GE(summed.size(), keep);
        ASSERT_GE(mixed.size(), keep);
        tapped.assign(summed.end() - long(keep), summed.end());
        monitored.assign(mixed.end() - long(keep), mixed.end());
    }

    std::unique_ptr<PulseLoop> loop;
    TapOutput output;
};

} // namespace

TEST_F(ExclusionTapTest, TheStreamsSumToTheMonitorAtTheirVolumesAndAMutedOneIsSilent)
{
    auto low = pulsetest::tone("speakers", 1000, 30);
    ASSERT_TRUE(pulsetest::waitForPlayback(1));
    std::string lowStream = lastStream();
    auto high = pulsetest::tone("speakers", 1500, 30);
    ASSERT_TRUE(pulsetest::waitForPlayback(2));
    std::string highStream = lastStream();
    // A server may remember a player's volume and mute for its next
    // streams (PipeWire does): put them back before the players go.
    struct Restorer {
        std::string low, high;
        ~Restorer()
        {
            pulsetest::shell("pactl set-sink-input-volume " + low + " 100%");
            pulsetest::shell("pactl set-sink-input-mute " + high + " 0");
        }
    } restorer{lowStream, highStream};
    ASSERT_EQ(pulsetest::shell("pactl set-sink-input-volume " + lowStream + " 60%"), 0);
    ASSERT_EQ(pulsetest::shell("pactl set-sink-volume speakers 80%"), 0);

    std::vector<float> tapped, monitored;
    listen(1.5, tapped, monitored);
    double sum = rms(tapped), whole = rms(monitored);
    ASSERT_GT(whole, 0.05);
    EXPECT_NEAR(20 * std::log10(sum / whole), 0.0, 0.5) << "tap " << sum << ", monitor " << whole;
    EXPECT_NEAR(amplitude(tapped, 1000) / amplitude(monitored, 1000), 1.0, 0.06);

    ASSERT_EQ(pulsetest::shell("pactl set-sink-input-mute " + highStream + " 1"), 0);
    listen(1.0, tapped, monitored);
    EXPECT_LT(amplitude(tapped, 1500), 1e-3);
    EXPECT_NEAR(20 * std::log10(rms(tapped) / rms(monitored)), 0.0, 0.5);
}

TEST_F(ExclusionTapTest, NeitherRepliesNorStreamsOutliveTheTap)
{
    int before = monitorReaders();
    auto player = pulsetest::tone("speakers", 700, 30);
    ASSERT_TRUE(pulsetest::waitForPlayback(1));
    // The server answers the tap's first requests after it has gone (with
    // the lock that it was started with).
    startTap(PulseLoop::Lock(*loop));
    // Some of these taps go while the server is still making their capture
    // of the player.
    for (int delay = 0; delay < 50; ++delay) {
        auto tap = startTap(PulseLoop::Lock(*loop));
        std::this_thread::sleep_for(std::chrono::microseconds(100 * delay));
        PulseLoop::Lock lock(*loop);
        tap.reset();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(monitorReaders(), before);
}
