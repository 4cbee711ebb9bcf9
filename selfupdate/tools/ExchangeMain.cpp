// taviro-exchange FIRST SECOND: swaps the two paths in one step, for the update's swap script,
// so that the application's folder always holds a whole package, the old one or the new one.
#include <cstdio>

#include "platform/Files.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: taviro-exchange FIRST SECOND\n");
        return 2;
    }
    auto exchanged = taviro::platform::exchangePaths(argv[1], argv[2]);
    if (!exchanged) {
        std::fprintf(stderr, "taviro-exchange: %s\n", exchanged.error().description.c_str());
        return 1;
    }
    return 0;
}
