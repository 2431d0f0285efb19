// Lays out a sample Windows system drive (or writes one empty hive) for the
// demo and for trying the Linux tool by hand.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sample_volume.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--empty-hive") {
        std::string error;
        if (!sample::writeEmptyHive(argv[2], static_cast<std::uint32_t>(std::atoi(argv[3])), error)) {
            std::fprintf(stderr, "make_sample_volume: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: make_sample_volume DIRECTORY\n"
                     "       make_sample_volume --empty-hive FILE MINOR_VERSION\n");
        return 2;
    }
    std::string error;
    if (!sample::makeSampleVolume(argv[1], error)) {
        std::fprintf(stderr, "make_sample_volume: %s\n", error.c_str());
        return 1;
    }
    std::printf("sample volume in %s\n", argv[1]);
    return 0;
}
