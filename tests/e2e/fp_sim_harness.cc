#include "fp_sim_harness.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace e2e
{

namespace
{

bool g_private_etc_default;
bool g_class_chosen;

}  // namespace

std::string use_sim_size(std::string_view cls)
{
    if (!Sandbox::get().ready())
        return "sandbox: " + Sandbox::get().error();
    if (!g_private_etc_default) {
        // Only this process's mount namespace sees it: the host's /etc/default is never touched.
        if (mount("tmpfs", "/etc/default", "tmpfs", MS_NOSUID, "mode=755") != 0)
            return std::string("mount tmpfs on /etc/default: ") + strerror(errno);
        g_private_etc_default = true;
    }
    if (!write_file("/etc/default/sim_size", std::string(cls) + "\n"))
        return "cannot write /etc/default/sim_size";
    g_class_chosen = true;
    return {};
}

std::unique_ptr<Process> start_fp_sim()
{
    if (!g_class_chosen) {
        if (std::string err = use_sim_size("small"); !err.empty()) {
            ADD_FAILURE() << err;
            return nullptr;
        }
    }
    auto p = Process::start({binary("fp-sim"), "serve"});
    if (!p) {
        ADD_FAILURE() << "cannot start " << binary("fp-sim");
        return nullptr;
    }
    if (!p->wait_stdout_line("fp-sim: ready")) {
        ADD_FAILURE() << "fp-sim serve did not get ready; stdout:\n"
                      << p->stdout_text() << "stderr:\n"
                      << p->stderr_text();
        return nullptr;
    }
    return p;
}

}  // namespace e2e
