// Shared plumbing of the peer stand-ins (krod-sim, pxrd-sim, sysmgr-sim): the
// event loop with a timer manager, one message-queue link, command lines on
// standard input and one JSON object per line on standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/msgq_util.h"

struct event_base;
struct timer_mgr;

namespace peer_sim
{

// One JSON object, built field by field: json().str("event", "up").num("pid", 7).line()
class json
{
public:
    json &str(std::string_view key, std::string_view value);
    json &num(std::string_view key, uint64_t value);
    json &raw(std::string_view key, std::string_view value);  // value already JSON
    std::string text() const { return body_ + "}"; }
    // Prints the object as one line on standard output and flushes.
    void line() const;

private:
    json &key(std::string_view k);
    std::string body_ = "{";
};

std::string quote(std::string_view s);

struct options {
    const char *prog;
    const char *help;  // usage text for --help, commands included
    uint32_t own_id;
    uint32_t tgt_id;
    msgq_role role;
};

using command_fn = std::function<void(const std::vector<std::string> &words)>;
using read_fn = std::function<void(const uint8_t *payload, uint32_t len)>;

// Parses --help and --sock-dir DIR, opens the link and runs the loop until
// "quit" or end of input followed by a signal. Returns the exit status.
int run(int argc, char **argv, const options &opts, const read_fn &on_read, const command_fn &on_command);

// Called when the link goes down, before the "down" line.
void on_link_down(std::function<void()> fn);

// The link, for commands that send.
msgq_handle_t *link();
// Sends a copy of bytes as one message; prints an error object when it fails.
bool send(const void *bytes, uint32_t len);

// "1a2b..." to bytes; false on odd length or a non-hex digit.
bool parse_hex(std::string_view text, std::vector<uint8_t> *out);
// Decimal or 0x-hex number; false when the text is not one.
bool parse_u32(std::string_view text, uint32_t *out);

}  // namespace peer_sim
