// Files as owned handles: a FILE* that closes itself, the size of an open file, checked seeks, and
// an output written under a temporary name that replaces its destination only when complete.
// Every reader and writer of the toolkit opens its files through these, so that a handle is never
// leaked on an early return and a seek never fails unnoticed.
#ifndef FIBREJOIN_UTILS_FILE_H
#define FIBREJOIN_UTILS_FILE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace fibrejoin {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// Closes on destruction, ignoring the result; call CloseFile where the result matters.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen; an empty handle when it fails (errno as fopen left it).
UniqueFile OpenFile(const std::string& path, const char* mode);

// Closes the handle and reports whether everything written reached the file.
bool CloseFile(UniqueFile& file);

// Size in bytes of an open file, read without moving its position; -1 when it has none (a pipe)
// or cannot be asked.
int64_t FileSize(std::FILE* file);

// fseeko with 64-bit offsets; true when the position was set.
bool Seek(std::FILE* file, int64_t offset, int whence = SEEK_SET);

// Writes every byte of data or reports false.
bool WriteAll(std::FILE* file, const void* data, size_t bytes);

// An output file written under a temporary name in the destination's folder and renamed over
// the destination by Commit, so that a failed or interrupted run never leaves a half-written file
// nor destroys an older one. Destroying an uncommitted output removes the temporary file.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for destination. false with message set when the folder is
    // missing or not writable; replace = false also refuses an existing destination.
    bool Open(const std::string& destination, bool replace, std::string& message);
    std::FILE* get() const { return file_.get(); }
    const std::string& destination() const { return destination_; }
    // The temporary name, for writers that must open the file themselves by name.
    const std::string& temporary() const { return temporary_; }
    // Flushes, closes and renames; false with message set when any of these fails (the
    // temporary file is then removed and the destination is left as it was).
    bool Commit(std::string& message);
    // Closes and removes the temporary file; the destination is left as it was.
    void Discard();

  private:
    UniqueFile file_;
    std::string destination_;
    std::string temporary_;
};

}  // namespace fibrejoin

#endif  // FIBREJOIN_UTILS_FILE_H
