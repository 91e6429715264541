// Images of the ClassBench 100- and 1000-rule sets stay byte for byte what they were when first verified
// against a first-match search. Each set is compiled by zelc in a fresh process: the interval trees follow
// the process's unseeded random() sequence, so only a new process draws them the same way every time.
#include "zelc_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

TEST(ZelcGolden, ClassBenchImagesAreUnchanged)
{
    ZELC_NEED_CLASSBENCH(dir);
    struct golden {
        const char *set;
        size_t size;
        uint64_t hash;
    };
    const golden sets[] = {
        {"acl1_100", 527868, 0x5537fe4f36bcd5b0ull},    {"fw1_100", 1935060, 0x8eee3df3b86a49d1ull},
        {"ipc1_100", 1174880, 0x7ea031410210d013ull},   {"acl1_1000", 5746348, 0x419cb0815ef9b5a8ull},
        {"fw1_1000", 129648500, 0x3a5449b42d92d832ull}, {"ipc1_1000", 57561600, 0xb8d3a51283e0aba7ull},
    };
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build's zelc takes minutes over the 1000-rule sets; the normal build checks them.
    const size_t nsets = 3;
#else
    const size_t nsets = std::size(sets);
#endif
    const std::string image = temp_path("golden.img");
    for (size_t i = 0; i < nsets; i++) {
        const golden &g = sets[i];
        // The largest program memory the 32-bit image size allows, so that every set compiles.
        command_result r = run_command(zelc_binary() + " compile --format classbench --blocks 33554431 " + dir + "/" +
                                       g.set + ".rules -o " + image);
        ASSERT_EQ(r.status, 0) << g.set << "\n" << r.out;
        size_t size = 0;
        EXPECT_EQ(image_hash(image, &size), g.hash) << g.set;
        EXPECT_EQ(size, g.size) << g.set;
    }
    std::remove(image.c_str());
}

}  // namespace
