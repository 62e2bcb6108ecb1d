// Scratch files for the fuzz targets. The readers under test take paths, so every input is
// written to a file in a private folder (in memory under /dev/shm when the machine has it),
// which is removed when the process ends.
#ifndef FIBREJOIN_FUZZ_FUZZFILES_H
#define FIBREJOIN_FUZZ_FUZZFILES_H

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

class ScratchFolder {
  public:
    ScratchFolder() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/fibrejoin-fuzz-XXXXXX";
            if (mkdtemp(&pattern[0])) {
                folder = pattern;
                return;
            }
        }
        std::perror("no scratch folder");
        std::abort();
    }
    ~ScratchFolder() {
        if (DIR* dir = opendir(folder.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") unlink(Path(name).c_str());
            }
            closedir(dir);
        }
        rmdir(folder.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path(const std::string& name) const { return folder + "/" + name; }

    // Writes `size` bytes to `name` in the folder (replacing it) and returns its path.
    std::string Write(const std::string& name, const uint8_t* data, size_t size) const {
        const std::string path = Path(name);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || (size > 0 && std::fwrite(data, 1, size, file) != size) ||
            std::fclose(file) != 0) {
            std::perror(path.c_str());
            std::abort();
        }
        return path;
    }

  private:
    std::string folder;
};

// One folder per fuzz process, removed at exit.
inline const ScratchFolder& Scratch() {
    static ScratchFolder folder;
    return folder;
}

#endif  // FIBREJOIN_FUZZ_FUZZFILES_H
