// The main of the GoogleTest programs. Each run keeps the program's own files
// (configuration, logs, records) in a fresh folder of its own, named by
// KORVEX_HOME, so that test processes run side by side never share them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char home[] = "/tmp/kvx-home.XXXXXX";
    if (!::mkdtemp(home)) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("KORVEX_HOME", home, 1);
    const int status = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return status;
}
