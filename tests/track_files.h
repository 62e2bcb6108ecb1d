// Test helpers: track files assembled byte by byte, in either byte order, without the library's
// writer, so that reader and writer are each checked against bytes laid out independently.
#ifndef FIBREJOIN_TESTS_TRACK_FILES_H
#define FIBREJOIN_TESTS_TRACK_FILES_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace testing_files {

using Bytes = std::vector<uint8_t>;

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// One track with its values apart: points (x, y, z each), scalars (as many per point), properties.
struct Track {
    std::vector<float> points, scalars, properties;
    int Count() const { return int(points.size() / 3); }
    // The record body in file order: each point followed by its scalars, then the properties.
    std::vector<float> Body() const {
        const size_t n = points.size() / 3, width = n ? scalars.size() / n : 0;
        std::vector<float> body;
        for (size_t i = 0; i < n; ++i) {
            body.insert(body.end(), points.begin() + 3 * i, points.begin() + 3 * i + 3);
            body.insert(body.end(), scalars.begin() + width * i, scalars.begin() + width * (i + 1));
        }
        body.insert(body.end(), properties.begin(), properties.end());
        return body;
    }
};

// A growing byte image of a file; `foreign` writes every multi-byte value big-endian (the
// opposite of the little-endian machines the toolkit runs on).
class FileImage {
  public:
    explicit FileImage(bool foreign = false) : foreign_(foreign) {}

    void PutInt16(size_t offset, int16_t value) { Put(offset, value); }
    void PutInt32(size_t offset, int32_t value) { Put(offset, value); }
    void PutFloat(size_t offset, float value) { Put(offset, value); }
    void PutText(size_t offset, const char* text) {  // with its terminating zero
        const size_t length = std::strlen(text) + 1;
        for (size_t i = 0; i < length; ++i)
            Put(offset + i, text[i]);
    }
    void AppendInt32(int32_t value) { PutInt32(bytes.size(), value); }
    void AppendFloats(const std::vector<float>& values) {
        for (float value : values)
            PutFloat(bytes.size(), value);
    }
    // One track record: the point count, then the body in file order.
    void AppendTrack(int32_t n, const std::vector<float>& body) {
        AppendInt32(n);
        AppendFloats(body);
    }
    void AppendTrack(const Track& track) { AppendTrack(track.Count(), track.Body()); }
    void Save(const std::string& path) const { WriteBytes(path, bytes); }

    Bytes bytes;

  private:
    // Stores `value` at `offset`, growing the image as needed, in the image's byte order.
    template <class T>
    void Put(size_t offset, T value) {
        if (bytes.size() < offset + sizeof(T)) bytes.resize(offset + sizeof(T), 0);
        std::memcpy(&bytes[offset], &value, sizeof(T));
        if (foreign_) std::reverse(&bytes[offset], &bytes[offset] + sizeof(T));
    }
    bool foreign_;
};

// The header fields tests vary, most often varied first.
struct HeaderFields {
    std::vector<std::string> scalar_names;  // the count is the number of names, unless set below
    std::vector<std::string> property_names;
    int32_t track_count = 0;
    int32_t header_size = 1000;
    int16_t dims[3] = {10, 20, 30};
    float voxel[3] = {1.0f, 1.0f, 2.5f};
    // Counts that disagree with the names, when set.
    std::optional<int16_t> scalar_count = std::nullopt, property_count = std::nullopt;
    int32_t version = 2;
    std::string orientation = "LPS", secondary_orientation = "";
    float axis_vectors[6] = {1, 0, 0, 0, 1, 0};
};

// A 1000-byte header as the toolkit lays it out.
inline FileImage MakeHeader(const HeaderFields& f, bool foreign = false) {
    FileImage image(foreign);
    image.bytes.assign(1000, 0);
    image.PutText(0, "TRACK");
    for (int i = 0; i < 3; ++i) {
        image.PutInt16(6 + 2 * i, f.dims[i]);
        image.PutFloat(12 + 4 * i, f.voxel[i]);
    }
    // Each count is followed by its table of ten 20-byte names.
    for (auto [at, names, count] : {std::make_tuple(36, &f.scalar_names, f.scalar_count),
                                    std::make_tuple(238, &f.property_names, f.property_count)}) {
        image.PutInt16(at, count.value_or(int16_t(names->size())));
        for (size_t i = 0; i < names->size() && i < 10; ++i)
            image.PutText(at + 2 + 20 * i, (*names)[i].c_str());
    }
    image.PutText(948, f.orientation.c_str());
    image.PutText(952, f.secondary_orientation.c_str());
    for (int i = 0; i < 6; ++i)
        image.PutFloat(956 + 4 * i, f.axis_vectors[i]);
    image.PutInt32(988, f.track_count);
    image.PutInt32(992, f.version);
    image.PutInt32(996, f.header_size);
    return image;
}

// A whole track file: its header fields and its tracks, in either byte order.
struct TrackFile {
    HeaderFields fields;
    std::vector<Track> tracks;
    bool foreign = false;

    FileImage Image() const {
        FileImage image = MakeHeader(fields, foreign);
        for (const Track& track : tracks)
            image.AppendTrack(track);
        return image;
    }
    void Save(const std::string& path) const { Image().Save(path); }
};

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "" when equal, otherwise where and how two files first differ (gtest's byte dumps are
// unreadable).
inline std::string FirstDifference(const Bytes& actual, const Bytes& expected) {
    const auto at = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (at.first != actual.end() && at.second != expected.end())
        return "byte " + std::to_string(at.first - actual.begin()) + ": " +
               std::to_string(*at.first) + " instead of " + std::to_string(*at.second);
    if (actual.size() == expected.size()) return "";
    return "size " + std::to_string(actual.size()) + " instead of " +
           std::to_string(expected.size());
}

inline int32_t Int32At(const Bytes& bytes, size_t offset) {
    int32_t value;
    std::memcpy(&value, &bytes.at(offset + 3) - 3, 4);
    return value;
}

inline void ExpectIn(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " not in:\n" << text;
}

// A python3 that imports nibabel (the first on PATH may lack it where the system's has it); ""
// when there is none.
inline std::string PythonWithNibabel() {
    for (const std::string python : {"python3", "/usr/bin/python3"})
        if (std::system((python + " -c 'import nibabel' >/dev/null 2>&1").c_str()) == 0)
            return python;
    return "";
}

// A fresh directory under /tmp, removed with its files when the object goes.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/fibrejoin-test-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A program's exit status and what it printed on each stream.
struct RunResult {
    int status;
    std::string out, err;
};

// Runs binary with args (each quoted for the shell), its output captured in files of dir.
inline RunResult RunProgram(const TempDir& dir, const std::string& binary,
                            const std::vector<std::string>& args) {
    std::string command = binary;
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    const std::string out = dir.File("stdout.txt"), err = dir.File("stderr.txt");
    const int status = std::system((command + " >" + out + " 2>" + err).c_str());
    const Bytes out_bytes = ReadBytes(out), err_bytes = ReadBytes(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::string(out_bytes.begin(), out_bytes.end()),
            std::string(err_bytes.begin(), err_bytes.end())};
}

}  // namespace testing_files

#endif  // FIBREJOIN_TESTS_TRACK_FILES_H
