// What a track file holds, in figures: the header, the tracks and points it delivers, their
// lengths (min, median, mean, max) in world millimetres, tracks and mean length per DataSetID, the
// world box the tracks occupy, and, for a damaged file, where reading stopped and why.
//
// SummariseTrackFile streams the file through TrackFileReader, one track at a time: memory does not
// grow with the file. The median comes from a fixed histogram of lengths with geometric bins (each
// bin kLengthBinRatio times as wide as the one before), so it is within
// kMedianRelativeResolution of the exact value. At most kMaxSources distinct DataSetID values are
// told apart; tracks of further values are only counted.
#ifndef FIBREJOIN_TRACKIO_TRACKSUMMARY_H
#define FIBREJOIN_TRACKIO_TRACKSUMMARY_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "trackio/TrackFile.h"

namespace fibrejoin {

// Relative width of a bin of the length histogram, and so the median's precision.
constexpr double kMedianRelativeResolution = 0.0005;
constexpr size_t kMaxSources = 1000;

struct SourceFigures {
    double id = 0;  // the DataSetID value
    int64_t tracks = 0;
    double totalLengthMm = 0;
    double MeanLengthMm() const { return tracks ? totalLengthMm / double(tracks) : 0.0; }
};

struct TrackSummary {
    std::string path;
    TrackFileHeader header;
    int64_t tracks = 0;  // tracks read (scanned)
    int64_t points = 0;
    // Lengths in world mm; all 0 when there are no tracks.
    double minLengthMm = 0, medianLengthMm = 0, meanLengthMm = 0, maxLengthMm = 0;
    // Lengths are in world mm unless the header's matrix cannot map the points there; then they
    // are in the points' own space (.trk: mm from the grid corner) and worldLengths is false.
    bool worldLengths = true;
    // Per DataSetID value in increasing order; empty when the file has no such property.
    bool hasSources = false;
    std::vector<SourceFigures> sources;
    int64_t tracksOfUncountedSources = 0;  // beyond kMaxSources distinct values
    // The world box of all points read; valid only when points > 0.
    std::array<double, 3> lowMm{}, highMm{};
    // Reading: complete, or stopped by damage at byte stoppedAtByte with damage saying why.
    bool complete = true;
    std::string damage;
    int64_t stoppedAtByte = 0;
    int64_t fileSize = 0;

    // The stored count, when the file states one, agrees with the tracks read.
    bool CountsAgree() const {
        return header.storedTrackCount < 0 || header.storedTrackCount == tracks;
    }
};

// Streams the file at path. false with message when it cannot be opened or its header is
// unreadable; true otherwise, also for a damaged file (then summary.complete is false and the
// figures are those of the tracks before the damage).
bool SummariseTrackFile(const std::string& path, TrackSummary& summary, std::string& message);

// The index of the DataSetID property in the header (the last one when several), or -1.
int DataSetIdSlot(const TrackFileHeader& header);

// The affine taking the points a reader delivers for this header to world mm; identity (and false)
// when the header's matrix cannot be used.
bool PointsToWorld(const TrackFileHeader& header, Matrix4& affine);

// The median of a fixed geometric histogram of non-negative values, memory independent of the
// number of values; Median() is within kMedianRelativeResolution of the exact median (the mean of
// the two middle values for an even count) for values from 1e-3 to 1e6, and clamped to the
// smallest and largest values added.
class LengthHistogram {
  public:
    LengthHistogram();
    void Add(double value);
    double Median() const;

  private:
    size_t Bin(double value) const;
    double ValueAt(int64_t rank) const;  // the value of rank (from 0) in increasing order

    std::vector<int64_t> counts_;
    int64_t total_ = 0;
    double low_ = 0, high_ = 0;
};

}  // namespace fibrejoin

#endif  // FIBREJOIN_TRACKIO_TRACKSUMMARY_H
