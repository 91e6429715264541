// The transaction id of cdb-sim's running datastore and the trees of its recent
// transactions, kept in the state directory so that both survive a restart: a
// subscriber that was away asks for the changes since the last id it applied.
#pragma once

#include <libyang/libyang.h>

#include <string>

#include "platform/cdb/confd_cdb.h"

namespace cdbsim
{

class History
{
public:
    // Transactions kept; a subscriber further behind than this must read afresh.
    static constexpr unsigned kKept = 64;

    // Reads the id kept in dir (a new epoch when there is none) and records `running`
    // as its tree when that is missing. Empty dir: nothing is kept on disk.
    bool open(const std::string &dir, const lyd_node *running, std::string *err);
    // A committed tree: the next id, its tree written before the id so that the id
    // never names a tree that is not there.
    bool record(const lyd_node *running, std::string *err);
    const cdb_txid &current() const { return cur_; }
    // The tree of transaction id, parsed in ctx; false when it is not kept.
    bool tree_at(const cdb_txid &id, const ly_ctx *ctx, lyd_node **out) const;

private:
    std::string tree_file(uint32_t seq) const;
    bool write_tree(uint32_t seq, const lyd_node *tree, std::string *err) const;
    std::string dir_;
    cdb_txid cur_{};
};

// Writes text to path through a temporary file and a rename.
bool write_file_atomic(const std::string &path, const std::string &text, std::string *err);

}  // namespace cdbsim
