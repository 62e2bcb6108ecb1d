// The extension module fibrejoin._fibrejoin: thin bindings over fibrecore, wrapped by the
// pure-Python layer in fibrejoin/__init__.py. Every call converts and checks its arguments while
// it holds the interpreter lock, runs the library with the lock released, and turns a reported
// failure into FibrejoinError carrying the library's message. Nothing here keeps state between
// calls; the library owns and closes every file it opens.
//
// Adding a binding: a function in the anonymous namespace taking C++ values (paths as
// std::filesystem::path, arrays as py::array_t), a `Release` block around the library call, and
// one m.def with its docstring in PYBIND11_MODULE below; re-export it from __init__.py and add
// its signature to _fibrejoin.pyi.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// Takes str, bytes and os.PathLike; a path with a zero byte inside is refused (TypeError).
#include <pybind11/stl/filesystem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "merge/MergeCommand.h"

namespace py = pybind11;

namespace fibrejoin {
namespace {

// A failure the library reported, with its message; raised in Python as FibrejoinError.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using Release = py::gil_scoped_release;

// A stream in memory that collects what a library call prints.
class MessageStream {
  public:
    MessageStream() : stream_(open_memstream(&buffer_, &size_)) {
        if (!stream_) throw std::bad_alloc();
    }
    ~MessageStream() {
        if (stream_) std::fclose(stream_);
        std::free(buffer_);
    }
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;

    FILE* get() const { return stream_; }
    // What was printed, without the line end that closes each message.
    std::string Text() {
        std::fflush(stream_);
        std::string text(buffer_ ? buffer_ : "", size_);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

void Merge(const std::vector<std::filesystem::path>& inputs, const std::filesystem::path& output) {
    if (inputs.size() < 2)
        throw py::value_error("inputs: at least two track files are needed, got " +
                              std::to_string(inputs.size()));
    std::vector<std::string> arguments{"fibrejoin"};
    for (const auto& input : inputs)
        arguments.push_back(input.string());
    arguments.push_back(output.string());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    MessageStream messages;
    int status;
    {
        Release unlocked;
        status =
            RunMergeCommand(int(arguments.size()), argv.data(), messages.get(), messages.get());
    }
    if (status != 0) throw Error(messages.Text());
}

}  // namespace
}  // namespace fibrejoin

PYBIND11_MODULE(_fibrejoin, m) {
    m.doc() = "Bindings over the fibrejoin library; use the fibrejoin package instead.";

    auto& error = py::register_exception<fibrejoin::Error>(m, "FibrejoinError", PyExc_RuntimeError);
    error.doc() = "A failure the library reported; the message names the file and the reason.";

    m.def("merge", &fibrejoin::Merge, py::arg("inputs"), py::arg("output"), R"(
Merges track files that share one volume grid into one .trk file.

The tracks of every input are copied in order, each tagged with a per-track property
"DataSetID" holding the zero-based position of its input. Paths are str or os.PathLike.
Raises FibrejoinError with the command's message when the merge fails (an output
left by a failure while copying keeps the tracks written so far and says 0 tracks),
ValueError for fewer than two inputs.)");
}
