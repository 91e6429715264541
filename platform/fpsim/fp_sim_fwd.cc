#include "platform/fpsim/fp_sim_fwd.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace
{

template <class T>
void add(T &counter, T n)
{
    std::atomic_ref<T>(counter).fetch_add(n, std::memory_order_relaxed);
}

uint8_t bank_of(const uint8_t &selector)
{
    return std::atomic_ref<const uint8_t>(selector).load(std::memory_order_relaxed) & 1;
}

}  // namespace

int fpsim_filter::load(fp_filter_slot *slot, uint8_t *filter_mem, uint32_t blocks, std::string *err)
{
    slot_ = nullptr;
    image_ = nullptr;
    if (std::atomic_ref<uint16_t>(slot->valid).load(std::memory_order_acquire) == 0)
        return 2;
    if (slot->nblocks == 0 || uint64_t{slot->hw_index} + slot->nblocks > blocks) {
        *err = "slot names blocks outside the filter memory";
        return 22;
    }
    uint8_t *image = filter_mem + uint64_t{slot->hw_index} * FP_FILTER_BLOCK_SIZE;
    if (prog_.load({image, uint64_t{slot->nblocks} * FP_FILTER_BLOCK_SIZE}) != 0) {
        *err = prog_.error();
        return 22;
    }
    slot_ = slot;
    image_ = image;
    memcpy(name_, reinterpret_cast<const zel_image_header *>(image)->name, ZEL_IMAGE_NAME_LEN);
    return 0;
}

zel_action_block *fpsim_filter::block(uint32_t action) const
{
    std::span<const uint8_t> b = prog_.action(action);
    if (b.size() < sizeof(zel_action_block))
        return nullptr;
    return reinterpret_cast<zel_action_block *>(image_ + (b.data() - image_));
}

bool fpsim_police(zel_slot_police &p, uint32_t len, uint64_t now)
{
    const uint8_t bank = bank_of(p.bank);
    // Only the forwarding plane writes the bucket; the daemon may change rate and burst at any time.
    const uint64_t rate = std::atomic_ref<uint64_t>(p.rate).load(std::memory_order_relaxed);
    const uint64_t burst = std::atomic_ref<uint64_t>(p.burst).load(std::memory_order_relaxed);
    uint64_t tokens = p.last_seen == 0 ? burst : std::min(burst, p.tokens + (now - std::min(now, p.last_seen)));
    p.last_seen = now;
    const uint64_t need = rate * len;
    const bool pass = tokens >= need;
    if (pass) {
        tokens -= need;
        add<uint64_t>(p.bytes[bank], len);
    } else {
        add<uint64_t>(p.drops[bank], 1);
    }
    p.tokens = tokens;
    return pass;
}

int fpsim_filter::forward(const uint32_t values[ZEL_FP_FIELDS], uint32_t len, uint64_t now, fpsim_verdict *v)
{
    *v = {};
    if (slot_ == nullptr)
        return 22;
    std::atomic_ref<uint8_t>(slot_->flags).fetch_or(FP_FILTER_ACTIVE, std::memory_order_relaxed);
    if (int rc = prog_.run(values, &v->action))
        return rc;
    zel_action_block *b = block(v->action);
    if (b == nullptr)
        return 22;
    v->is_default = b->hdr.flags & ZEL_ACTION_FLAG_DEFAULT;
    for (zel_action_slot &s : b->data.slot) {
        if (s.param_type == ZEL_ACT_COUNT) {
            const uint8_t bank = bank_of(s.p.count.bank);
            add<uint64_t>(s.p.count.packets[bank], 1);
            add<uint64_t>(s.p.count.bytes[bank], len);
        } else if (s.param_type == ZEL_ACT_POLICE) {
            if (!fpsim_police(s.p.police, len, now))
                v->dropped = true;
        }
    }
    return 0;
}
