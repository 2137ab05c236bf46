#include "platform/pulse/pulse_tone_output.h"

#include <algorithm>
#include <cstring>

#include "platform/pulse/pulse_query.h"

namespace platform {

PulseToneOutput::PulseToneOutput(std::optional<std::string> server) : loop_("korvalin-cap tone", std::move(server)) {}

PulseToneOutput::~PulseToneOutput() { stop(); }

bool PulseToneOutput::prepare()
{
    if (!prepared_) {
        prepared_ = true;
        if (loop_.connect(2.0)) {
            auto server = PulseQuery::server(loop_);
            auto sink = server ? PulseQuery::sink(loop_, server->defaultSink) : std::nullopt;
            if (sink) {
                rate_ = sink->rate;
                channels_ = sink->channels;
            }
        }
    }
    return rate_ > 0 && channels_ > 0;
}

double PulseToneOutput::sampleRate() { return prepare() ? double(rate_) : 0.0; }

int PulseToneOutput::channelCount() { return prepare() ? int(channels_) : 0; }

std::optional<std::string> PulseToneOutput::start(std::vector<float> interleaved)
{
    if (!prepare())
        return "zvukový server není dostupný";
    if (interleaved.empty() || interleaved.size() % channels_ != 0)
        return "neplatná délka tónu";
    stop();
    PulseLoop::Lock lock(loop_);
    samples_ = std::move(interleaved);
    position_ = 0;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate_, uint8_t(channels_)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, channels_, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(loop_.context(), "Korvalin zkušební tón", &spec, &map);
    if (!stream_)
        return std::string(pa_strerror(pa_context_errno(loop_.context())));
    pa_stream_set_state_callback(
        stream_, [](pa_stream*, void* loop) { static_cast<PulseLoop*>(loop)->signal(); }, &loop_);
    pa_stream_set_write_callback(stream_, &PulseToneOutput::writable, this);
    if (pa_stream_connect_playback(stream_, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr) == 0) {
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(stream_)) == PA_STREAM_CREATING)
            loop_.wait();
        if (state == PA_STREAM_READY)
            return std::nullopt;
    }
    std::string error = pa_strerror(pa_context_errno(loop_.context()));
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    return error;
}

void PulseToneOutput::stop()
{
    PulseLoop::Lock lock(loop_);
    if (!stream_)
        return;
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseToneOutput::writable(pa_stream* stream, size_t bytes, void* self)
{
    auto* tone = static_cast<PulseToneOutput*>(self);
    const auto& samples = tone->samples_;
    size_t count = bytes / sizeof(float);
    while (count > 0) {
        void* data = nullptr;
        size_t room = count * sizeof(float);
        if (pa_stream_begin_write(stream, &data, &room) < 0 || !data)
            return;
        size_t n = std::min(count, room / sizeof(float));
        auto* out = static_cast<float*>(data);
        for (size_t written = 0; written < n;) {
            size_t run = std::min(n - written, samples.size() - tone->position_);
            std::memcpy(out + written, samples.data() + tone->position_, run * sizeof(float));
            written += run;
            tone->position_ = (tone->position_ + run) % samples.size();
        }
        pa_stream_write(stream, data, n * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
        count -= n;
    }
}

} // namespace platform
