#include "platform/cdb/cdb_history.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace cdbsim
{

bool write_file_atomic(const std::string &path, const std::string &text, std::string *err)
{
    const std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) {
        *err = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    bool ok = fputs(text.c_str(), f) >= 0 && fflush(f) == 0 && fsync(fileno(f)) == 0;
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        *err = "cannot save " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

namespace
{

std::string tree_text(const lyd_node *tree)
{
    char *text = nullptr;
    if (tree)
        lyd_print_mem(&text, tree, LYD_JSON, LYD_PRINT_WITHSIBLINGS);
    std::string s = text ? text : "{}";
    free(text);
    return s;
}

}  // namespace

std::string History::tree_file(uint32_t seq) const { return dir_ + "/history/" + std::to_string(seq) + ".json"; }

bool History::write_tree(uint32_t seq, const lyd_node *tree, std::string *err) const
{
    return write_file_atomic(tree_file(seq), tree_text(tree), err);
}

bool History::open(const std::string &dir, const lyd_node *running, std::string *err)
{
    dir_ = dir;
    if (dir_.empty())
        return true;
    mkdir((dir_ + "/history").c_str(), 0755);
    std::ifstream in(dir_ + "/txid");
    if (!(in >> cur_.s1 >> cur_.s2 >> cur_.s3)) {
        // A datastore without history starts an epoch of its own: ids of another never match.
        cur_ = {};
        cur_.s1 = static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid()) << 16;
        cur_.s1 |= 1;
    }
    struct stat st;
    if (stat(tree_file(cur_.s3).c_str(), &st) != 0 && !write_tree(cur_.s3, running, err))
        return false;
    std::ostringstream o;
    o << cur_.s1 << ' ' << cur_.s2 << ' ' << cur_.s3 << '\n';
    return write_file_atomic(dir_ + "/txid", o.str(), err);
}

bool History::record(const lyd_node *running, std::string *err)
{
    cdb_txid next = cur_;
    next.s3++;
    if (!dir_.empty()) {
        if (!write_tree(next.s3, running, err))
            return false;
        std::ostringstream o;
        o << next.s1 << ' ' << next.s2 << ' ' << next.s3 << '\n';
        if (!write_file_atomic(dir_ + "/txid", o.str(), err))
            return false;
        if (next.s3 >= kKept)
            unlink(tree_file(next.s3 - kKept).c_str());
    }
    cur_ = next;
    return true;
}

bool History::tree_at(const cdb_txid &id, const ly_ctx *ctx, lyd_node **out) const
{
    *out = nullptr;
    if (id.s1 != cur_.s1 || id.s2 != cur_.s2 || id.s3 > cur_.s3 || cur_.s3 - id.s3 >= kKept || dir_.empty())
        return false;
    const std::string file = tree_file(id.s3);
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        return false;
    return lyd_parse_data_path(ctx, file.c_str(), LYD_JSON, LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                               LYD_VALIDATE_NO_STATE, out) == LY_SUCCESS;
}

}  // namespace cdbsim
