// The Windows tests: one program, run under Wine as a single test. The
// thread is an OLE single-threaded apartment, as the updater's is.
#include <windows.h>

#include <gtest/gtest.h>
#include <ole2.h>

int wmain(int argc, wchar_t** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(::OleInitialize(nullptr))) return 2;
    const int result = RUN_ALL_TESTS();
    ::OleUninitialize();
    return result;
}
