#include "common/dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <list>
#include <random>
#include <vector>

namespace
{

struct entry {
    int value;
    dll_node_t link;
};

// The values front to back, read once forwards and once backwards.
std::pair<std::vector<int>, std::vector<int>> both_ways(const dll_head_t &list)
{
    std::vector<int> fwd, bwd;
    for (dll_node_t *n = dll_first(&list); n; n = dll_next(n))
        fwd.push_back(DLL_ENTRY(n, entry, link)->value);
    for (dll_node_t *n = dll_last(&list); n; n = dll_prev(n))
        bwd.insert(bwd.begin(), DLL_ENTRY(n, entry, link)->value);
    return {fwd, bwd};
}

TEST(Dll, RandomOperationsMatchStdList)
{
    constexpr int n = 64;
    std::vector<entry> pool(n);
    std::vector<bool> on_list(n);
    for (int i = 0; i < n; i++)
        pool[i] = {i, {}};
    dll_head_t list;
    dll_init(&list);
    std::list<int> model;
    std::mt19937 rng(7);

    auto pick_member = [&]() -> dll_node_t * {
        if (model.empty() || rng() % 8 == 0)
            return nullptr;
        auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        return &pool[*it].link;
    };
    for (int step = 0; step < 5000; step++) {
        const int v = static_cast<int>(rng() % n);
        if (on_list[v]) {
            dll_remove(&list, &pool[v].link);
            model.remove(v);
            on_list[v] = false;
        } else {
            dll_node_t *at = pick_member();
            auto pos = at ? std::find(model.begin(), model.end(), DLL_ENTRY(at, entry, link)->value) : model.end();
            switch (rng() % 3) {
            case 0:
                dll_insert_tail(&list, &pool[v].link);
                model.push_back(v);
                break;
            case 1:
                dll_insert_after(&list, at, &pool[v].link);
                model.insert(at ? std::next(pos) : model.begin(), v);
                break;
            default:
                dll_insert_before(&list, at, &pool[v].link);
                model.insert(pos, v);
                break;
            }
            on_list[v] = true;
        }
        const std::vector<int> want(model.begin(), model.end());
        ASSERT_EQ(both_ways(list), std::make_pair(want, want));
        ASSERT_EQ(dll_count(&list), static_cast<int32_t>(want.size()));
        ASSERT_EQ(dll_is_empty(&list), want.empty());
    }
}

}  // namespace
