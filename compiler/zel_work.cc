#include "compiler/zel_work.h"

#include "compiler/eclass.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_ruletable.h"

#include <algorithm>
#include <new>
#include <sys/mman.h>

namespace
{

constexpr std::align_val_t kAlign{64};

void release(zel_work_buf b) { ::operator delete(b.p, kAlign); }

}  // namespace

zel_compile_work::~zel_compile_work()
{
    drop_cache();
    for (zel_work_buf b : spare_)
        release(b);
}

zel_work_buf zel_compile_work::get(size_t bytes)
{
    bytes = std::max<size_t>(bytes, 64);
    if (used_.fetch_add(bytes, std::memory_order_relaxed) + bytes > budget_) {
        used_.fetch_sub(bytes, std::memory_order_relaxed);
        return {};
    }
    {
        // The smallest spare that fits and wastes at most half of itself.
        std::lock_guard<std::mutex> lock(mu_);
        size_t best = spare_.size();
        for (size_t i = 0; i < spare_.size(); i++)
            if (spare_[i].bytes >= bytes && spare_[i].bytes / 2 <= bytes &&
                (best == spare_.size() || spare_[i].bytes < spare_[best].bytes))
                best = i;
        if (best != spare_.size()) {
            zel_work_buf b = spare_[best];
            spare_[best] = spare_.back();
            spare_.pop_back();
            used_.fetch_add(b.bytes - bytes, std::memory_order_relaxed);
            return b;
        }
    }
    void *p = ::operator new(bytes, kAlign, std::nothrow);
    if (!p) {
        used_.fetch_sub(bytes, std::memory_order_relaxed);
        return {};
    }
    if (bytes >= (4u << 20))
        madvise(p, bytes, MADV_HUGEPAGE);  // advice only: row trees are walked at random
    return {p, bytes};
}

void zel_compile_work::put(zel_work_buf b)
{
    if (!b.p)
        return;
    used_.fetch_sub(b.bytes, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mu_);
    try {
        spare_.push_back(b);
    } catch (const std::bad_alloc &) {
        release(b);
    }
}

bool zel_compile_work::charge(uint64_t bytes)
{
    if (used_.fetch_add(bytes, std::memory_order_relaxed) + bytes > budget_) {
        used_.fetch_sub(bytes, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void zel_compile_work::uncharge(uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

void zel_compile_work::trim(size_t keep)
{
    std::lock_guard<std::mutex> lock(mu_);
    std::sort(spare_.begin(), spare_.end(),
              [](const zel_work_buf &a, const zel_work_buf &b) { return a.bytes < b.bytes; });
    size_t total = 0, k = 0;
    for (; k < spare_.size() && total + spare_[k].bytes <= keep; k++)
        total += spare_[k].bytes;
    for (size_t i = k; i < spare_.size(); i++)
        release(spare_[i]);
    spare_.resize(k);
}

void zel_compile_work::drop_cache()
{
    for (eclass_classes *c : cached)
        eclass_classes_free(c);
    cached.clear();
    signature.clear();
}

int zel_match_signature(const compile_context *ctx, const rule_table *rt, std::vector<uint32_t> *out)
{
    out->clear();
    try {
        out->push_back(rt->rule_count);
        for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
            out->push_back(ctx->fields[f].table_id);
        for (const rule *r = rt->head; r; r = r->next) {
            out->push_back(static_cast<uint32_t>(r->matches.size()));
            for (const field_match &m : r->matches) {
                out->push_back(m.table_id);
                out->push_back(static_cast<uint32_t>(m.ranges.size()));
                for (const zel_range &rg : m.ranges) {
                    out->push_back(rg.min);
                    out->push_back(rg.max);
                }
            }
        }
    } catch (const std::bad_alloc &) {
        out->clear();
        return 12;
    }
    return 0;
}
