// Replays fuzz inputs without libFuzzer: every file in every folder named on the command line is
// fed once to the fuzz target. Built with the normal compiler, this turns each corpus into a
// regression test.
#include <cstdio>
#include <filesystem>

#include "../tests/track_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            const testing_files::Bytes input = testing_files::ReadBytes(entry.path());
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", replayed);
    return replayed == 0;
}
