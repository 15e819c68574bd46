#include "cli/cli.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return kvx::cli::run(args, std::cout, std::cerr);
}
