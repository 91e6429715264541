#include "platform/peers/peer_sim.h"

#include <event2/event.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/timer.h"

namespace peer_sim
{

namespace
{

struct state {
    event_base *base = nullptr;
    timer_mgr *tmr = nullptr;
    event *tick_ev = nullptr;
    event *stdin_ev = nullptr;
    msgq_handle_t *link = nullptr;
    std::string pending;  // partial input line
    read_fn on_read;
    command_fn on_command;
};

state g;

void tick_cb(evutil_socket_t, short, void *)
{
    timeval tv;
    timer_get_tick(g.tmr, &tv);
    event_add(g.tick_ev, &tv);
    if (timer_exec_pri(g.tmr, TIMER_PRI_MASK_ALL, 100) == TIMER_EXEC_MORE)
        event_active(g.tick_ev, 0, 0);
}

void up_cb(msgq_handle_t *, void *) { json().str("event", "up").line(); }
std::function<void()> g_on_down;

void down_cb(msgq_handle_t *, void *)
{
    if (g_on_down)
        g_on_down();
    json().str("event", "down").line();
}
void aux_cb(msgq_handle_t *, void *) {}

void read_cb(msgq_handle_t *h, void *payload, uint32_t len, void *)
{
    g.on_read(static_cast<const uint8_t *>(payload), len);
    msgq_free_msg(h, payload);
}

std::vector<std::string> split(std::string_view line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            i++;
        size_t j = i;
        while (j < line.size() && !isspace(static_cast<unsigned char>(line[j])))
            j++;
        if (j > i)
            words.emplace_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

void run_line(std::string_view line)
{
    std::vector<std::string> words = split(line);
    if (words.empty())
        return;
    if (words[0] == "quit") {
        event_base_loopbreak(g.base);
        return;
    }
    g.on_command(words);
}

void stdin_cb(evutil_socket_t fd, short, void *)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        // No more commands; keep serving the link until killed.
        event_del(g.stdin_ev);
        if (!g.pending.empty())
            run_line(g.pending);
        g.pending.clear();
        return;
    }
    g.pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = g.pending.find('\n')) != std::string::npos) {
        std::string line = g.pending.substr(0, nl);
        g.pending.erase(0, nl + 1);
        run_line(line);
    }
}

}  // namespace

std::string quote(std::string_view s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

json &json::key(std::string_view k)
{
    if (body_.size() > 1)
        body_ += ",";
    body_ += quote(k) + ":";
    return *this;
}

json &json::str(std::string_view k, std::string_view value)
{
    key(k);
    body_ += quote(value);
    return *this;
}

json &json::num(std::string_view k, uint64_t value)
{
    key(k);
    body_ += std::to_string(value);
    return *this;
}

json &json::raw(std::string_view k, std::string_view value)
{
    key(k);
    body_ += value;
    return *this;
}

void json::line() const
{
    printf("%s\n", text().c_str());
    fflush(stdout);
}

msgq_handle_t *link() { return g.link; }

bool send(const void *bytes, uint32_t len)
{
    void *msg = msgq_alloc_msg(g.link, len);
    if (!msg) {
        json().str("event", "error").str("reason", "no message buffer").line();
        return false;
    }
    memcpy(msg, bytes, len);
    int rc = msgq_write(g.link, msg, len);
    if (rc != 0) {
        msgq_free_msg(g.link, msg);
        json().str("event", "error").str("reason", rc == MSGQ_ERR_DOWN ? "not connected" : "send failed").line();
        return false;
    }
    return true;
}

bool parse_hex(std::string_view text, std::vector<uint8_t> *out)
{
    if (text.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v;
        char pair[3] = {text[i], text[i + 1], 0};
        char *end;
        v = static_cast<unsigned>(strtoul(pair, &end, 16));
        if (*end || !isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool parse_u32(std::string_view text, uint32_t *out)
{
    std::string s(text);
    if (s.empty() || s[0] == '-')
        return false;
    char *end;
    errno = 0;
    unsigned long v = strtoul(s.c_str(), &end, 0);
    if (*end || errno || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int run(int argc, char **argv, const options &opts, const read_fn &on_read, const command_fn &on_command)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s", opts.help);
            return 0;
        }
        if (strcmp(argv[i], "--sock-dir") == 0 && i + 1 < argc) {
            msgq_set_sock_dir(argv[++i]);
            continue;
        }
        fprintf(stderr, "%s: unknown argument %s (try --help)\n", opts.prog, argv[i]);
        return 2;
    }
    // Log lines of the transport go to standard error, not syslog.
    openlog(opts.prog, LOG_PID | LOG_PERROR, LOG_LOCAL7);
    g.on_read = on_read;
    g.on_command = on_command;
    g.base = event_base_new();
    g.tmr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (!g.base || !g.tmr) {
        fprintf(stderr, "%s: no event base or timer manager\n", opts.prog);
        return 1;
    }
    g.tick_ev = event_new(g.base, -1, 0, tick_cb, nullptr);
    timeval tv;
    timer_get_tick(g.tmr, &tv);
    event_add(g.tick_ev, &tv);
    g.stdin_ev = event_new(g.base, STDIN_FILENO, EV_READ | EV_PERSIST, stdin_cb, nullptr);
    event_add(g.stdin_ev, nullptr);

    const msgq_params_t params = msgq_unix_params(g.base, g.tmr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {up_cb, down_cb, aux_cb, read_cb, nullptr, nullptr};
    g.link = msgq_init(opts.own_id, opts.tgt_id, opts.role, &params, &cbs, nullptr);
    if (!g.link) {
        fprintf(stderr, "%s: cannot open the link\n", opts.prog);
        return 1;
    }
    json().str("event", "started").str("path", g.link->path).line();
    event_base_dispatch(g.base);

    msgq_close(g.link);
    event_free(g.stdin_ev);
    event_free(g.tick_ev);
    timer_mgr_destroy(g.tmr);
    event_base_free(g.base);
    return 0;
}

void on_link_down(std::function<void()> fn) { g_on_down = std::move(fn); }

}  // namespace peer_sim
