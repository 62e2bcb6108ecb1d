// Scratch files for the fuzz targets. The readers under test take paths, so every input is
// written to a file in a private folder (in memory under /dev/shm when the machine has it),
// which is removed with its files when the process ends.
#ifndef FIBREJOIN_FUZZ_FUZZFILES_H
#define FIBREJOIN_FUZZ_FUZZFILES_H

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ScratchFolder {
  public:
    ScratchFolder() {
        for (std::string pattern : {"/dev/shm/fibrejoin-fuzz-XXXXXX", "/tmp/fibrejoin-fuzz-XXXXXX"})
            if (mkdtemp(&pattern[0])) {
                folder = pattern;
                return;
            }
        std::abort();
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::string Path(const std::string& name) const { return folder + "/" + name; }

    // Writes `size` bytes to `name` in the folder (replacing it) and returns its path.
    std::string Write(const std::string& name, const uint8_t* data, size_t size) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
        return path;
    }

  private:
    std::string folder;
};

// One folder per fuzz process.
inline const ScratchFolder& Scratch() {
    static ScratchFolder folder;
    return folder;
}

#endif  // FIBREJOIN_FUZZ_FUZZFILES_H
