#include "utils/File.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fibrejoin {

UniqueFile OpenFile(const std::string& path, const char* mode) {
    return UniqueFile(std::fopen(path.c_str(), mode));
}

bool CloseFile(UniqueFile& file) {
    if (!file) return false;
    return std::fclose(file.release()) == 0;
}

int64_t FileSize(std::FILE* file) {
    struct stat status;
    if (!file || fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    return int64_t(status.st_size);
}

bool Seek(std::FILE* file, int64_t offset, int whence) {
    return file && fseeko(file, off_t(offset), whence) == 0;
}

bool WriteAll(std::FILE* file, const void* data, size_t bytes) {
    return bytes == 0 || std::fwrite(data, 1, bytes, file) == bytes;
}

namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Reason() {
    return std::strerror(errno);
}

}  // namespace

OutputFile::~OutputFile() {
    Discard();
}

bool OutputFile::Open(const std::string& destination, bool replace, std::string& message) {
    Discard();
    struct stat status;
    const std::string folder = FolderOf(destination);
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        message = destination + ": the folder " + folder + " does not exist";
        return false;
    }
    if (stat(destination.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            message = destination + ": is a folder";
            return false;
        }
        if (!replace) {
            message = destination + ": exists already (use --force to replace it)";
            return false;
        }
    }
    // mkstemp gives a name no other run uses; the file is made readable like any new output.
    std::string pattern = destination + ".tmp-XXXXXX";
    const int descriptor = mkstemp(&pattern[0]);
    if (descriptor < 0) {
        message = destination + ": cannot create a file in " + folder + ": " + Reason();
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    file_.reset(fdopen(descriptor, "wb"));
    if (!file_) {
        message = destination + ": " + Reason();
        close(descriptor);
        std::remove(pattern.c_str());
        return false;
    }
    destination_ = destination;
    temporary_ = pattern;
    return true;
}

bool OutputFile::Commit(std::string& message) {
    if (!file_) {
        message = destination_ + ": no output is open";
        return false;
    }
    const bool flushed = std::fflush(file_.get()) == 0 && std::ferror(file_.get()) == 0;
    const int flushError = errno;
    const bool closed = CloseFile(file_);
    if (!flushed || !closed) {
        errno = flushed ? errno : flushError;
        message = destination_ + ": cannot write: " + Reason();
        Discard();
        return false;
    }
    if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        message = destination_ + ": cannot rename " + temporary_ + ": " + Reason();
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::Discard() {
    file_.reset();
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
}

}  // namespace fibrejoin
