// The forwarding plane stand-in's packet path: run a published filter on a packet and do what a
// forwarding plane does with the chosen action block (count into the active bank, police, mark the
// filter active).
#pragma once

#include "compiler/zel_action.h"
#include "compiler/zel_fpinterp.h"
#include "dataplane/fp_common.h"

#include <cstdint>
#include <string>

struct fpsim_verdict {
    uint32_t action = 0;      // action block index (class of the root table)
    bool is_default = false;  // the rule table's default action
    bool dropped = false;     // a policer found no tokens
};

class fpsim_filter
{
public:
    // Loads the program published in `slot` from the filter memory of `blocks` blocks. 0; 2 when the
    // slot holds no program; 22 when the program is malformed (*err says why).
    int load(fp_filter_slot *slot, uint8_t *filter_mem, uint32_t blocks, std::string *err);
    // Classifies one packet of `len` bytes at forwarding clock `now`. 0; 2 when a value lies in no
    // row; 22 when the class has no action block.
    int forward(const uint32_t values[ZEL_FP_FIELDS], uint32_t len, uint64_t now, fpsim_verdict *v);
    zel_action_block *block(uint32_t action) const;
    const char *name() const { return name_; }

private:
    zel_fp_program prog_;
    fp_filter_slot *slot_ = nullptr;
    uint8_t *image_ = nullptr;
    char name_[ZEL_IMAGE_NAME_LEN + 1] = {};
};

// Token bucket of one police slot in the active bank: true when the packet passes.
bool fpsim_police(zel_slot_police &p, uint32_t len, uint64_t now);
