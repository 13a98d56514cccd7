// Cost of the plug-in's inspection actions over the chan_quelvaron stand-in:
// time per call, and per event written into the reply.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "chan_quelvaron_control.h"
#include "res_quelvaron_ami.h"

namespace {

std::unique_ptr<ami_message> request(const char *const *lines, int n)
{
    std::unique_ptr<ami_message> m(new ami_message());
    for (int i = 0; i < n; i++)
        std::snprintf(m->headers[m->header_count++], AMI_HEADER_SIZE, "%s", lines[i]);
    return m;
}

// The host hands in a fresh reply record for every request.
void fresh(ami_session *s)
{
    s->reply_length = 0;
    s->reply[0] = '\0';
}

void report(benchmark::State &state, double events_per_call, const ami_session &s)
{
    double events = events_per_call * static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(events));
    state.counters["events/call"] = events_per_call;
    state.counters["time/event"] =
        benchmark::Counter(events, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["reply_bytes"] = static_cast<double>(s.reply_length);
}

// Calls the handler once per iteration on a fresh reply record.
void run(benchmark::State &state, ami_action_handler handler, const ami_message *m, ami_session *s)
{
    for (auto _ : state) {
        fresh(s);
        benchmark::DoNotOptimize(handler(s, m));
        benchmark::ClobberMemory();
    }
}

void BM_ShowEndpoints(benchmark::State &state)
{
    const size_t endpoints = static_cast<size_t>(state.range(0));
    chanq_reset();
    chanq_make_sample_endpoints(endpoints);
    const char *lines[] = {"Action: QuelvaronShowEndpoints", "ActionID: bench-1"};
    auto m = request(lines, 2);
    std::unique_ptr<ami_session> s(new ami_session());

    run(state, action_quelvaron_show_endpoints, m.get(), s.get());
    report(state, static_cast<double>(endpoints + 1), *s);  // one event per endpoint + completion
    chanq_reset();
}
BENCHMARK(BM_ShowEndpoints)->Arg(50);

// A driver that reports the largest count it can, with records enough to
// fill the reply: the list must still answer at once, with the response, the
// events that fit and the completion.
void BM_ShowEndpointsHugeCount(benchmark::State &state)
{
    chanq_reset();
    chanq_make_sample_endpoints(CHANQ_MAX_ENDPOINTS);
    chanq_set_endpoint_count(2147483647u);
    const char *lines[] = {"Action: QuelvaronShowEndpoints", "ActionID: bench-3"};
    auto m = request(lines, 2);
    std::unique_ptr<ami_session> s(new ami_session());

    run(state, action_quelvaron_show_endpoints, m.get(), s.get());
    state.counters["reply_bytes"] = static_cast<double>(s->reply_length);
    chanq_reset();
}
BENCHMARK(BM_ShowEndpointsHugeCount)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ShowEndpoint(benchmark::State &state)
{
    chanq_reset();
    const char *lines[] = {"Action: QuelvaronShowEndpoint", "Endpoint: webrtc-3000", "ActionID: bench-2"};
    auto m = request(lines, 3);
    std::unique_ptr<ami_session> s(new ami_session());

    run(state, action_quelvaron_show_endpoint, m.get(), s.get());
    report(state, 1.0, *s);
}
BENCHMARK(BM_ShowEndpoint);

} // namespace
