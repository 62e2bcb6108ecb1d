// Fuzzes the merge command with two inputs. The first two bytes give the length of the first
// input (little-endian, cut to what follows); the rest is the second input.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzFiles.h"
#include "merge/MergeCommand.h"
#include "trackio/TrackIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t first_size = std::min<size_t>(data[0] | size_t(data[1]) << 8, size - 2);
    const uint8_t* first = data + 2;
    const uint8_t* second = first + first_size;
    std::string arguments[] = {"fibrejoin", WriteScratch("a.trk", first, first_size),
                               WriteScratch("b.trk", second, size - 2 - first_size),
                               ScratchPath("merged.trk")};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    if (RunMergeCommand(int(argv.size()), argv.data()) == 0) {
        // A merge that succeeded wrote a file the reader accepts.
        CTrackReader reader;
        TRACK_HEADER header;
        if (!reader.Open(arguments[3].c_str(), &header)) __builtin_trap();
    }
    return 0;
}
