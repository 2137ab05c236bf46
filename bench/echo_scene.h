// Synthetic scenes for the echo canceller, shared by its benchmark and its
// tests: speech-like voices, a room that turns the speakers' sound into the
// microphone's echo, and the measures the canceller is judged by.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "capture/echo_canceller.h"

namespace echo_scene {

constexpr double rate = 48000;

inline size_t at(double seconds) { return static_cast<size_t>(seconds * rate); }

// A voice within the given stretches: syllables of 80-300 ms (a glottal
// pulse train at 90-220 Hz through two formants, some unvoiced), 40-200 ms
// apart, and a pause of 0.3-0.9 s after every few. RMS while talking is
// about `level`. The same seed gives the same voice.
inline std::vector<float> voice(double seconds, uint32_t seed, std::vector<std::pair<double, double>> stretches,
                                double level = 0.1)
{
    std::mt19937 random(seed);
    auto uniform = [&](double low, double high) { return low + (high - low) * (random() / 4294967296.0); };
    std::vector<float> out(at(seconds));
    for (auto [from, to] : stretches) {
        double t = from;
        while (t < to) {
            int syllables = static_cast<int>(uniform(2, 7));
            for (int s = 0; s < syllables && t < to; ++s) {
                double length = uniform(0.08, 0.3);
                bool voiced = uniform(0, 1) < 0.8;
                double pitch = uniform(90, 220), f1 = uniform(300, 900), f2 = uniform(900, 2600);
                // Two resonators (bandwidth 100 Hz) after the excitation.
                auto pole = [](double f) {
                    double r = std::exp(-std::numbers::pi * 100 / rate);
                    return std::pair{2 * r * std::cos(2 * std::numbers::pi * f / rate), -r * r};
                };
                auto [a1, b1] = pole(f1);
                auto [a2, b2] = pole(f2);
                double y1 = 0, y1p = 0, y2 = 0, y2p = 0, phase = 1;
                size_t begin = at(t), end = std::min(at(std::min(t + length, to)), out.size());
                std::vector<double> shaped(end - begin);
                for (size_t n = begin; n < end; ++n) {
                    double excitation;
                    if (voiced) {
                        phase += pitch * (1 + 0.05 * std::sin(6.0 * (n - begin) / rate)) / rate;
                        excitation = phase >= 1 ? 1.0 : 0.0;
                        phase -= std::floor(phase);
                    } else {
                        excitation = uniform(-0.3, 0.3);
                    }
                    double v1 = excitation + a1 * y1 + b1 * y1p;
                    y1p = y1, y1 = v1;
                    double v2 = v1 + a2 * y2 + b2 * y2p;
                    y2p = y2, y2 = v2;
                    shaped[n - begin] = v1 + 0.5 * v2;
                }
                double energy = 0;
                for (double v : shaped)
                    energy += v * v;
                double gain = shaped.empty() ? 0 : level / std::sqrt(energy / shaped.size() + 1e-30);
                for (size_t n = begin; n < end; ++n) {
                    double x = static_cast<double>(n - begin) / std::max<size_t>(1, end - begin);
                    double envelope = std::sin(std::numbers::pi * x); // rises and falls like a syllable
                    out[n] = static_cast<float>(gain * std::sqrt(2.0) * envelope * shaped[n - begin]);
                }
                t += length + uniform(0.04, 0.2);
            }
            t += uniform(0.3, 0.9);
        }
    }
    return out;
}

// The path from the speakers to the microphone: the direct sound `delay`
// after the speakers, reflections decaying by 60 dB over `tail`, the whole
// `levelDb` below what the speakers play, and its delay shrinking by `ppm`
// of a second each second.
struct Room {
    double delay = 0.047;
    double tail = 0.15;
    double levelDb = -15;
    uint32_t seed = 1;
    double ppm = 0; // the path's clock against the reference's
};

inline std::vector<std::pair<size_t, float>> response(const Room& room)
{
    std::mt19937 random(room.seed);
    std::vector<std::pair<size_t, float>> taps{{at(room.delay), 1.0f}};
    // A reflection every 4 samples on average, from 1 ms after the direct sound.
    for (size_t n = at(room.delay + 0.001); n < at(room.delay + room.tail); n += 1 + random() % 7) {
        double age = static_cast<double>(n - at(room.delay)) / rate;
        double amplitude = 0.35 * std::pow(10.0, -3 * age / room.tail) * ((random() & 1) ? 1 : -1);
        taps.emplace_back(n, static_cast<float>(amplitude));
    }
    double energy = 0;
    for (auto [n, a] : taps)
        energy += a * a;
    float scale = static_cast<float>(std::pow(10.0, room.levelDb / 20) / std::sqrt(energy));
    for (auto& tap : taps)
        tap.second *= scale;
    return taps;
}

// The speakers' sound as heard on another clock, `ppm` fast: the echo path's
// delay shrinks by that much of a second each second (a rate control off by
// that much). Cubic interpolation, ample for speech.
inline std::vector<float> onClock(const std::vector<float>& x, double ppm)
{
    std::vector<float> out(x.size());
    for (size_t n = 0; n < out.size(); ++n) {
        double t = static_cast<double>(n) * (1 + ppm * 1e-6);
        auto i = static_cast<size_t>(t);
        if (i < 1 || i + 2 >= x.size())
            continue;
        double f = t - static_cast<double>(i), before = x[i - 1], a = x[i], b = x[i + 1], after = x[i + 2];
        double c1 = 0.5 * (b - before), c2 = before - 2.5 * a + 2 * b - 0.5 * after,
               c3 = 0.5 * (after - before) + 1.5 * (a - b);
        out[n] = static_cast<float>(((c3 * f + c2) * f + c1) * f + a);
    }
    return out;
}

// Adds the echo of `speakers` through `room` to out[from, to).
inline void addEcho(const std::vector<float>& speakers, const Room& room, std::vector<float>& out, size_t from,
                    size_t to)
{
    const std::vector<float>& heard = room.ppm != 0 ? onClock(speakers, room.ppm) : speakers;
    for (auto [delay, amplitude] : response(room))
        for (size_t n = std::max(from, delay); n < std::min(to, out.size()); ++n)
            out[n] += amplitude * heard[n - delay];
}

inline double energy(const std::vector<float>& x, size_t from, size_t to)
{
    double sum = 0;
    for (size_t n = from; n < std::min(to, x.size()); ++n)
        sum += static_cast<double>(x[n]) * x[n];
    return sum;
}

inline double db(double ratio) { return 10 * std::log10(std::max(ratio, 1e-30)); }

// Echo return loss enhancement over the 10-ms blocks of [from, to) where the
// echo is heard (within 30 dB of its loudest block) and the near end is
// silent; NaN when there is no such block.
inline double erle(const std::vector<float>& echo, const std::vector<float>& near, const std::vector<float>& out,
                   double from, double to)
{
    const size_t block = at(0.01);
    double loudest = 0;
    for (size_t n = 0; n + block <= echo.size(); n += block)
        loudest = std::max(loudest, energy(echo, n, n + block));
    double in = 0, left = 0;
    for (size_t n = at(from); n + block <= at(to); n += block)
        if (energy(near, n, n + block) == 0 && energy(echo, n, n + block) > loudest * 1e-3) {
            in += energy(echo, n, n + block);
            left += energy(out, n, n + block);
        }
    return in == 0 ? NAN : db(in / std::max(left, 1e-30));
}

// The near end's share of the output over the 20-ms frames of [from, to)
// where it talks (within 20 dB of its loudest frame): the overall gain,
// the 10th percentile of the frames' gains, and the share of frames cut by
// more than 6 dB.
struct NearEnd {
    double gainDb = 0, p10Db = 0, chopped = 0;
};

inline NearEnd nearEnd(const std::vector<float>& near, const std::vector<float>& out, double from, double to)
{
    const size_t frame = at(0.02);
    double loudest = 0;
    for (size_t n = at(from); n + frame <= at(to); n += frame)
        loudest = std::max(loudest, energy(near, n, n + frame));
    std::vector<double> gains;
    double in = 0, kept = 0;
    for (size_t n = at(from); n + frame <= at(to); n += frame) {
        double e = energy(near, n, n + frame);
        if (e <= loudest * 1e-2)
            continue;
        in += e;
        kept += energy(out, n, n + frame);
        gains.push_back(db(energy(out, n, n + frame) / e));
    }
    NearEnd result;
    if (gains.empty())
        return result;
    std::sort(gains.begin(), gains.end());
    result.gainDb = db(kept / in);
    result.p10Db = gains[gains.size() / 10];
    result.chopped = static_cast<double>(std::count_if(gains.begin(), gains.end(), [](double g) { return g < -6; })) /
                     gains.size();
    return result;
}

// Both channels through the canceller in deliveries of `chunk` frames (not
// a multiple of its 20-ms frame), then flushed: what comes out, aligned
// with what went in.
struct Output {
    std::vector<float> mic, system;
};

inline Output run(korvalin::EchoCanceller& canceller, const std::vector<float>& mic, const std::vector<float>& system,
                  size_t chunk = 1031)
{
    Output out;
    std::vector<float> stereo(2 * chunk), pulled(2 * chunk);
    auto take = [&] {
        while (int64_t n = canceller.pull(pulled.data(), static_cast<int64_t>(chunk)))
            for (int64_t i = 0; i < n; ++i) {
                out.mic.push_back(pulled[2 * i]);
                out.system.push_back(pulled[2 * i + 1]);
            }
    };
    for (size_t start = 0; start < mic.size(); start += chunk) {
        size_t n = std::min(chunk, mic.size() - start);
        for (size_t i = 0; i < n; ++i) {
            stereo[2 * i] = mic[start + i];
            stereo[2 * i + 1] = system[start + i];
        }
        canceller.push(stereo.data(), static_cast<int64_t>(n));
        take();
    }
    canceller.flush();
    take();
    return out;
}

} // namespace echo_scene
