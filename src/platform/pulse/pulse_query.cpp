#include "platform/pulse/pulse_query.h"

#include <charconv>
#include <cstring>
#include <set>

namespace platform::PulseQuery {
namespace {

template <class Result>
struct Pending {
    PulseLoop* loop;
    Result result{};
};

std::string text(const char* value) { return value ? value : ""; }

// Runs one introspection call whose callback fills Pending<Result>.
template <class Result, class Start>
Result ask(PulseLoop& loop, Start start)
{
    Pending<Result> pending{&loop};
    PulseLoop::Lock lock(loop);
    if (pa_context_get_state(loop.context()) != PA_CONTEXT_READY)
        return pending.result;
    loop.await(start(loop.context(), &pending));
    return pending.result;
}

template <class Info>
void deviceAnswer(pa_context*, const Info* info, int eol, void* data)
{
    auto* pending = static_cast<Pending<std::optional<DeviceFacts>>*>(data);
    if (eol == 0 && info)
        pending->result = facts(*info);
    pending->loop->signal();
}

} // namespace

DeviceFacts facts(const pa_source_info& info)
{
    return {info.index, text(info.name), text(info.description), info.sample_spec.rate,
            info.sample_spec.channels, info.channel_map, info.monitor_of_sink != PA_INVALID_INDEX, {}};
}

bool wornOnTheHead(const pa_sink_info& info)
{
    if (const pa_sink_port_info* port = info.active_port) {
        if (port->type == PA_DEVICE_PORT_TYPE_HEADPHONES || port->type == PA_DEVICE_PORT_TYPE_HEADSET)
            return true;
        std::string name = text(port->name);
        if (name.find("headphone") != std::string::npos || name.find("headset") != std::string::npos)
            return true;
    }
    const char* formFactor = info.proplist ? pa_proplist_gets(info.proplist, PA_PROP_DEVICE_FORM_FACTOR) : nullptr;
    std::string form = formFactor ? formFactor : "";
    return form == "headphone" || form == "headset" || form == "hands-free";
}

DeviceFacts facts(const pa_sink_info& info)
{
    return {info.index, text(info.name), text(info.description),
            info.sample_spec.rate, info.sample_spec.channels, info.channel_map,
            false, text(info.monitor_source_name), wornOnTheHead(info)};
}

std::optional<ServerFacts> server(PulseLoop& loop)
{
    return ask<std::optional<ServerFacts>>(loop, [](pa_context* context, auto* pending) {
        return pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* p = static_cast<Pending<std::optional<ServerFacts>>*>(data);
                if (info)
                    p->result = ServerFacts{text(info->default_source_name), text(info->default_sink_name)};
                p->loop->signal();
            },
            pending);
    });
}

std::optional<DeviceFacts> source(PulseLoop& loop, uint32_t index)
{
    return ask<std::optional<DeviceFacts>>(loop, [index](pa_context* context, auto* pending) {
        return pa_context_get_source_info_by_index(context, index, &deviceAnswer<pa_source_info>, pending);
    });
}

std::optional<DeviceFacts> source(PulseLoop& loop, const std::string& name)
{
    return ask<std::optional<DeviceFacts>>(loop, [&name](pa_context* context, auto* pending) {
        return pa_context_get_source_info_by_name(context, name.c_str(), &deviceAnswer<pa_source_info>, pending);
    });
}

std::optional<DeviceFacts> sink(PulseLoop& loop, uint32_t index)
{
    return ask<std::optional<DeviceFacts>>(loop, [index](pa_context* context, auto* pending) {
        return pa_context_get_sink_info_by_index(context, index, &deviceAnswer<pa_sink_info>, pending);
    });
}

std::optional<DeviceFacts> sink(PulseLoop& loop, const std::string& name)
{
    return ask<std::optional<DeviceFacts>>(loop, [&name](pa_context* context, auto* pending) {
        return pa_context_get_sink_info_by_name(context, name.c_str(), &deviceAnswer<pa_sink_info>, pending);
    });
}

std::optional<StreamProcess> processOf(const pa_proplist* properties)
{
    const char* id = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    int32_t pid = 0;
    if (!id || std::from_chars(id, id + std::strlen(id), pid).ec != std::errc{} || pid <= 0)
        return std::nullopt;
    return StreamProcess{pid, text(pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_BINARY)), bootTicks()};
}

std::vector<int32_t> playingProcesses(PulseLoop& loop)
{
    using Pids = std::set<int32_t>;
    Pids pids = ask<Pids>(loop, [](pa_context* context, auto* pending) {
        return pa_context_get_sink_input_info_list(
            context,
            [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
                auto* p = static_cast<Pending<Pids>*>(data);
                if (eol == 0 && info)
                    if (auto process = processOf(info->proplist))
                        p->result.insert(process->pid);
                if (eol != 0)
                    p->loop->signal();
            },
            pending);
    });
    return {pids.begin(), pids.end()};
}

} // namespace platform::PulseQuery
