// Insert, find and remove of N random 64-bit keys: the intrusive AVL tree
// against std::set. Prints the median ns per operation over several runs.
// Times are thread CPU time, so that other work on a shared machine does not
// count; cache and memory-bandwidth contention still does.
//
//   bench_avl [N] [runs]      (defaults: 1000000 elements, 5 runs)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <time.h>
#include <vector>

#include "common/avl.h"

namespace
{

struct elem {
    avl_node_t node;
    uint64_t key;
};

int elem_cmp(const void *a, const void *b)
{
    uint64_t ka = static_cast<const elem *>(a)->key;
    uint64_t kb = static_cast<const elem *>(b)->key;
    return (ka > kb) - (ka < kb);
}

double cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double ns_per_op(double start, size_t ops) { return (cpu_ns() - start) / static_cast<double>(ops); }

struct result {
    double insert, find, remove;
};

// Three independent random orders of the same unique keys.
struct workload {
    std::vector<uint64_t> insert_order, find_order, remove_order;
};

workload make_workload(size_t n, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> keys;
    keys.reserve(n);
    while (keys.size() < n)
        keys.push_back(rng());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    workload w{keys, keys, keys};
    std::shuffle(w.insert_order.begin(), w.insert_order.end(), rng);
    std::shuffle(w.find_order.begin(), w.find_order.end(), rng);
    std::shuffle(w.remove_order.begin(), w.remove_order.end(), rng);
    return w;
}

uint64_t sink;

result run_avl(const workload &w)
{
    const size_t n = w.insert_order.size();
    // Elements are allocated up front: the intrusive tree itself never allocates.
    std::vector<elem> pool(n);
    for (size_t i = 0; i < n; i++)
        pool[i].key = w.insert_order[i];
    avl_tree_t tree;
    avl_create(&tree, elem_cmp, sizeof(elem), offsetof(elem, node));
    result r{};

    auto t0 = cpu_ns();
    for (elem &e : pool)
        avl_add(&tree, &e);
    r.insert = ns_per_op(t0, n);

    elem probe{};
    uint64_t sum = 0;
    t0 = cpu_ns();
    for (uint64_t k : w.find_order) {
        probe.key = k;
        sum += static_cast<elem *>(avl_find(&tree, &probe, nullptr))->key;
    }
    r.find = ns_per_op(t0, n);

    t0 = cpu_ns();
    for (uint64_t k : w.remove_order) {
        probe.key = k;
        avl_remove(&tree, avl_find(&tree, &probe, nullptr));
    }
    r.remove = ns_per_op(t0, n);
    avl_destroy(&tree);
    sink += sum;
    return r;
}

result run_set(const workload &w)
{
    const size_t n = w.insert_order.size();
    std::set<uint64_t> set;
    result r{};

    auto t0 = cpu_ns();
    for (uint64_t k : w.insert_order)
        set.insert(k);
    r.insert = ns_per_op(t0, n);

    uint64_t sum = 0;
    t0 = cpu_ns();
    for (uint64_t k : w.find_order)
        sum += *set.find(k);
    r.find = ns_per_op(t0, n);

    t0 = cpu_ns();
    for (uint64_t k : w.remove_order)
        set.erase(k);
    r.remove = ns_per_op(t0, n);
    sink += sum;
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void report(const char *name, const std::vector<result> &runs)
{
    std::vector<double> ins, fnd, rem;
    for (const result &r : runs) {
        ins.push_back(r.insert);
        fnd.push_back(r.find);
        rem.push_back(r.remove);
    }
    printf("| %-10s | %8.1f | %8.1f | %8.1f |\n", name, median(ins), median(fnd), median(rem));
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
    const int runs = argc > 2 ? atoi(argv[2]) : 5;
    std::vector<result> avl_runs, set_runs;
    for (int i = 0; i < runs; i++) {
        workload w = make_workload(n, 1000 + static_cast<uint64_t>(i));
        avl_runs.push_back(run_avl(w));
        set_runs.push_back(run_set(w));
    }
    printf("%zu random 64-bit keys, median of %d runs, ns per operation\n\n", n, runs);
    printf("| container  |   insert |     find |   remove |\n");
    printf("|------------|---------:|---------:|---------:|\n");
    report("avl", avl_runs);
    report("std::set", set_runs);
    fprintf(stderr, "(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
