// Entry point of the Windows build of core_tests: the program links with
// -municode, so it starts at wmain rather than gtest_main's main.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
