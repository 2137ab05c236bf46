// Cost of one 512-frame delivery through the input callback's mix (mono
// microphone + stereo tap) against the ring write it ends in.
#include <benchmark/benchmark.h>

#include <vector>

#include "capture/audio_ring.h"
#include "capture/downmix.h"

namespace {

constexpr int64_t frames = 512;
constexpr int batch = 256; // deliveries between two drains of the ring (untimed)

struct Delivery {
    std::vector<float> mic = std::vector<float>(frames, 0.25f);
    std::vector<float> tap = std::vector<float>(2 * frames, 0.5f);
    std::vector<unsigned char> memory = std::vector<unsigned char>(platform::audioBufferListSize(2));

    Delivery()
    {
        auto* list = reinterpret_cast<platform::AudioBufferList*>(memory.data());
        list->mNumberBuffers = 2;
        list->mBuffers[0] = {1, static_cast<uint32_t>(frames * 4), mic.data()};
        list->mBuffers[1] = {2, static_cast<uint32_t>(frames * 8), tap.data()};
    }
    const platform::AudioBufferList& list() const
    {
        return *reinterpret_cast<const platform::AudioBufferList*>(memory.data());
    }
};

void drain(korvalin::AudioRing& ring, std::vector<float>& sink)
{
    while (ring.read(sink.data(), frames).frames > 0) {
    }
}

// Items are deliveries: items_per_second⁻¹ is the cost of one delivery.
void BM_InputCallback(benchmark::State& state)
{
    Delivery delivery;
    auto plan = korvalin::makeChannelPlan({1, 2}, 1, 2);
    korvalin::DownmixScratch scratch(plan.mic, plan.system);
    korvalin::AudioRing ring(384000);
    std::vector<float> sink(2 * frames);
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            scratch.deliver(delivery.list(), ring);
        state.PauseTiming();
        drain(ring, sink);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_InputCallback);

void BM_RingWriteAlone(benchmark::State& state)
{
    std::vector<float> stereo(2 * frames, 0.5f);
    korvalin::AudioRing ring(384000);
    std::vector<float> sink(2 * frames);
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            ring.write(stereo.data(), frames);
        state.PauseTiming();
        drain(ring, sink);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_RingWriteAlone);

} // namespace

BENCHMARK_MAIN();
