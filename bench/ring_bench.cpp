// The ring's cost per 512-frame delivery (one write and one read, as the
// input callback and the writer thread do), next to copying the same bytes
// in and out with plain memcpy: the physical limit of this hand-over.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "capture/audio_ring.h"

namespace {

constexpr int64_t deliveryFrames = 512;
constexpr int64_t ringFrames = 384000;

void ringWriteRead(benchmark::State& state)
{
    korvalin::AudioRing ring(ringFrames);
    std::vector<float> in(2 * deliveryFrames, 0.5f), out(2 * deliveryFrames);
    for (auto _ : state) {
        ring.write(in.data(), deliveryFrames);
        benchmark::DoNotOptimize(ring.read(out.data(), deliveryFrames));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * deliveryFrames);
    state.SetBytesProcessed(state.iterations() * deliveryFrames * 2 * int64_t(sizeof(float)));
    state.counters["x_realtime_48k"] =
        benchmark::Counter(double(state.iterations() * deliveryFrames) / 48000.0, benchmark::Counter::kIsRate);
}

// The same two copies through storage of the ring's size, without the ring.
void memcpyInOut(benchmark::State& state)
{
    std::vector<float> storage(2 * ringFrames);
    std::vector<float> in(2 * deliveryFrames, 0.5f), out(2 * deliveryFrames);
    int64_t slot = 0;
    const size_t bytes = size_t(deliveryFrames) * 2 * sizeof(float);
    for (auto _ : state) {
        std::memcpy(storage.data() + 2 * slot, in.data(), bytes);
        std::memcpy(out.data(), storage.data() + 2 * slot, bytes);
        benchmark::ClobberMemory();
        slot = (slot + deliveryFrames) % (ringFrames - deliveryFrames);
    }
    state.SetItemsProcessed(state.iterations() * deliveryFrames);
    state.SetBytesProcessed(state.iterations() * deliveryFrames * 2 * int64_t(sizeof(float)));
    state.counters["x_realtime_48k"] =
        benchmark::Counter(double(state.iterations() * deliveryFrames) / 48000.0, benchmark::Counter::kIsRate);
}

BENCHMARK(ringWriteRead);
BENCHMARK(memcpyInOut);

} // namespace

BENCHMARK_MAIN();
