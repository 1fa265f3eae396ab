#include <unistd.h>

#include <clocale>
#include <exception>
#include <iostream>

#include "app/cli/cli.h"
#include "app/cli/terminal.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return norv::cli::Run(args, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
    } catch (const std::exception& e) {
        std::cerr << "norv: " << norv::cli::Shown(e.what()) << "\n";
        return norv::cli::kExitFailure;
    }
}
