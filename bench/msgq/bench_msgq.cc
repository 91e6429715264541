// Message-queue transport: messages per second through a Unix socket between
// a CLIENT and a SERVER on one event loop, and the KRO codec per message.
#include <benchmark/benchmark.h>
#include <event2/event.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "platform/kro/kro_msg.h"

namespace
{

struct Counter {
    uint64_t received = 0;
};
void none(msgq_handle_t *, void *) {}
void count_read(msgq_handle_t *h, void *payload, uint32_t, void *arg)
{
    static_cast<Counter *>(arg)->received++;
    msgq_free_msg(h, payload);
}

void BM_MsgqWriteAndDeliver(benchmark::State &state)
{
    char dir[] = "/tmp/mqbench.XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    msgq_set_sock_dir(dir);
    event_base *base = event_base_new();
    timer_mgr *tmr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    const msgq_params_t p = msgq_unix_params(base, tmr, LOG_LOCAL7);
    Counter got;
    const msgq_cbs_t srv_cbs = {none, none, none, count_read, nullptr, nullptr};
    const msgq_cbs_t cli_cbs = {none, none, none, count_read, nullptr, nullptr};
    msgq_handle_t *srv = msgq_init(9, 3, MSGQ_SERVER, &p, &srv_cbs, &got);
    msgq_handle_t *cli = msgq_init(3, 9, MSGQ_CLIENT, &p, &cli_cbs, nullptr);
    while (!msgq_is_connected(srv)) {
        event_base_loop(base, EVLOOP_NONBLOCK);
        timer_exec_pri(tmr, TIMER_PRI_MASK_ALL, 100);
        usleep(1000);
    }
    const uint32_t len = static_cast<uint32_t>(state.range(0));
    constexpr int kBatch = 64;
    for (auto _ : state) {
        const uint64_t want = got.received + kBatch;
        for (int i = 0; i < kBatch; i++) {
            void *msg = msgq_alloc_msg(cli, len);
            memset(msg, i, len);
            msgq_write(cli, msg, len);
        }
        while (got.received < want)
            event_base_loop(base, EVLOOP_ONCE);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(state.iterations() * kBatch * (len + MSGQ_HDR_LEN));
    msgq_close_all();
    timer_mgr_destroy(tmr);
    event_base_free(base);
    msgq_set_sock_dir(nullptr);
    rmdir(dir);
}
BENCHMARK(BM_MsgqWriteAndDeliver)->Arg(64)->Arg(1024)->Arg(16384);

void BM_KroDecodeLocator(benchmark::State &state)
{
    kro_msg_t m{};
    m.type = KRO_MSG_TLOC_UPDATE;
    m.src = 2;
    m.body.tloc.family = 2;
    uint8_t wire[KRO_MSG_LEN];
    uint32_t len = 0;
    kro_msg_encode(&m, wire, sizeof wire, &len);
    kro_msg_t out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kro_msg_decode(&out, wire, len));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_KroDecodeLocator);

}  // namespace

BENCHMARK_MAIN();
