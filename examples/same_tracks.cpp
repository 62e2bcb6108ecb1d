// same_tracks A B: exit 0 when two track files hold the same tracks in the same order with the
// same points (bit for bit; scalars and properties such as a merge's DataSetID are not compared),
// else 1 with the first difference. Used to check that merged shards equal one whole run.
#include <cstdio>
#include <cstring>
#include <string>

#include "trackio/TrackFile.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: same_tracks A B\n");
        return 2;
    }
    fibrejoin::TrackFileReader a, b;
    std::string message;
    if (!a.Open(argv[1], message) || !b.Open(argv[2], message)) {
        std::fprintf(stderr, "same_tracks: %s\n", message.c_str());
        return 2;
    }
    fibrejoin::Track ta, tb;
    for (int64_t t = 0;; ++t) {
        const bool more_a = a.next(ta), more_b = b.next(tb);
        if (!a.ok() || !b.ok()) {
            std::fprintf(stderr, "same_tracks: %s\n", (a.message() + b.message()).c_str());
            return 2;
        }
        if (!more_a && !more_b) {
            std::printf("same tracks: %lld tracks, the same points\n", static_cast<long long>(t));
            return 0;
        }
        if (more_a != more_b) {
            std::printf("DIFFERENT: %s has more tracks than %s (from track %lld)\n",
                        more_a ? argv[1] : argv[2], more_a ? argv[2] : argv[1],
                        static_cast<long long>(t));
            return 1;
        }
        if (ta.points.size() != tb.points.size() ||
            std::memcmp(ta.points.data(), tb.points.data(), ta.points.size() * sizeof(float))) {
            std::printf("DIFFERENT: track %lld differs in its points\n", static_cast<long long>(t));
            return 1;
        }
    }
}
