// Event loop, timer manager and a private socket directory for link tests,
// plus a raw socket peer that speaks the wire format by hand.
#pragma once

#include <event2/event.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"
#include "daemon/zel.h"

namespace msgq_test
{

// Upper bound of every wait: a guard against hangs, never an expectation.
inline constexpr std::chrono::seconds kGuard{10};

inline std::vector<uint8_t> frame(uint8_t src, uint8_t tgt, uint8_t type, const std::vector<uint8_t> &payload)
{
    msgq_hdr_t hdr{MSGQ_MAGIC1, static_cast<uint16_t>(MSGQ_HDR_LEN + payload.size()), src, tgt, type, MSGQ_MAGIC2};
    std::vector<uint8_t> out(sizeof hdr);
    memcpy(out.data(), &hdr, sizeof hdr);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline std::vector<uint8_t> register_frame(uint8_t src, uint8_t tgt) { return frame(src, tgt, MSGQ_TYPE_REGISTER, {}); }

// What a handle's callbacks saw, in order; with close_in_read set, the read callback closes its handle.
struct Recorder {
    std::vector<std::string> events;
    std::vector<std::vector<uint8_t>> msgs;
    bool close_in_read = false;
    size_t count(const std::string &event) const { return std::ranges::count(events, event); }
};

inline void rec_up(msgq_handle_t *, void *arg) { static_cast<Recorder *>(arg)->events.push_back("up"); }
inline void rec_down(msgq_handle_t *, void *arg) { static_cast<Recorder *>(arg)->events.push_back("down"); }
inline void rec_aux(msgq_handle_t *, void *) {}
inline void rec_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg)
{
    auto *rec = static_cast<Recorder *>(arg);
    auto *p = static_cast<uint8_t *>(payload);
    rec->msgs.emplace_back(p, p + len);
    rec->events.push_back("read");
    msgq_free_msg(h, payload);
    if (rec->close_in_read)
        msgq_close(h);
}

inline const msgq_cbs_t kRecCbs = {rec_up, rec_down, rec_aux, rec_read, nullptr, nullptr};

class RawPeer
{
public:
    ~RawPeer() { close_fd(); }
    bool connect_to(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
        return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0;
    }
    bool send_bytes(const std::vector<uint8_t> &bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever is waiting, without blocking; sets eof() when the other side closed.
    std::vector<uint8_t> drain()
    {
        std::vector<uint8_t> out;
        uint8_t buf[65536];
        for (;;) {
            ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                eof_ = true;
            return out;
        }
    }
    bool eof() const { return eof_; }
    int fd() const { return fd_; }
    void close_fd()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool eof_ = false;
};

class Loop : public testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mq.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        msgq_set_sock_dir(dir_.c_str());
        base_ = event_base_new();
        tmr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_NE(base_, nullptr);
        ASSERT_NE(tmr_, nullptr);
    }
    void TearDown() override
    {
        msgq_close_all();
        EXPECT_EQ(msgq_instance(), nullptr);
        if (tmr_)
            timer_mgr_destroy(tmr_);
        if (base_)
            event_base_free(base_);
        msgq_set_sock_dir(nullptr);
        std::filesystem::remove_all(dir_);
    }

    msgq_params_t params() const { return msgq_unix_params(base_, tmr_, LOG_LOCAL7); }
    std::string path_of(const char *daemon) const { return dir_ + "/." + daemon; }

    // One round of the loop and the timers.
    void turn()
    {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        timer_exec_pri(tmr_, TIMER_PRI_MASK_ALL, 100);
        usleep(1000);
    }
    // Turns the loop until pred holds; false when the guard ran out.
    bool pump_until(const std::function<bool()> &pred)
    {
        const auto end = std::chrono::steady_clock::now() + kGuard;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            turn();
        }
        return true;
    }
    void pump(int rounds)
    {
        for (int i = 0; i < rounds; i++)
            turn();
    }
    // Turns the loop until the other side has closed the peer's connection.
    bool pump_until_eof(RawPeer &peer)
    {
        return pump_until([&] {
            peer.drain();
            return peer.eof();
        });
    }

    std::string dir_;
    event_base *base_ = nullptr;
    timer_mgr *tmr_ = nullptr;
};

// A loop with a daemon context on it, for zeld's links.
class CtxLoop : public Loop
{
protected:
    void SetUp() override
    {
        Loop::SetUp();
        ctx_.base = base_;
        ctx_.tmr_mgr = tmr_;
    }
    zel_ctx ctx_{};
};

}  // namespace msgq_test
