// Scratch files for the fuzz targets. The readers under test take paths, so every input is
// written to a file in one private folder per process (the tests' scratch folder), which is
// removed with its files when the process ends.
#ifndef FIBREJOIN_FUZZ_FUZZFILES_H
#define FIBREJOIN_FUZZ_FUZZFILES_H

#include <cstdint>
#include <string>

#include "../tests/track_files.h"

// The path of `name` in the folder.
inline std::string ScratchPath(const std::string& name) {
    static const testing_files::TempDir folder;
    return folder.File(name);
}

// Writes `size` bytes to `name` in the folder (replacing it) and returns its path.
inline std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = ScratchPath(name);
    testing_files::WriteBytes(path, testing_files::Bytes(data, data + size));
    return path;
}

#endif  // FIBREJOIN_FUZZ_FUZZFILES_H
