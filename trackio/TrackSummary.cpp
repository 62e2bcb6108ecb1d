#include "trackio/TrackSummary.h"

#include <algorithm>
#include <cmath>

#include "tracking/Track.h"

namespace fibrejoin {
namespace {

// Geometric bins from kLowest to kHighest, each kRatio times the one before; a value within a bin
// is taken as the bin's geometric centre, at most (kRatio - 1) / 2 away in relative terms.
constexpr double kLowest = 1e-3, kHighest = 1e6;
const double kRatio = 1.0 + 2.0 * kMedianRelativeResolution;
const double kLogRatio = std::log(kRatio);

size_t BinCount() {
    return size_t(std::ceil(std::log(kHighest / kLowest) / kLogRatio)) + 2;
}

}  // namespace

LengthHistogram::LengthHistogram() : counts_(BinCount(), 0) {}

size_t LengthHistogram::Bin(double value) const {
    // Bin 0 holds values below kLowest (and NaN), the last bin those from kHighest on.
    if (!(value >= kLowest)) return 0;
    if (value >= kHighest) return counts_.size() - 1;
    const size_t bin = 1 + size_t(std::log(value / kLowest) / kLogRatio);
    return std::min(bin, counts_.size() - 2);
}

void LengthHistogram::Add(double value) {
    if (!(value >= 0)) value = 0;  // NaN and negative values count as 0
    low_ = total_ ? std::min(low_, value) : value;
    high_ = total_ ? std::max(high_, value) : value;
    ++counts_[Bin(value)];
    ++total_;
}

double LengthHistogram::ValueAt(int64_t rank) const {
    size_t bin = 0;
    for (int64_t seen = 0; bin < counts_.size(); ++bin) {
        seen += counts_[bin];
        if (seen > rank) break;
    }
    double value;
    if (bin == 0)
        value = 0;
    else if (bin + 1 >= counts_.size())
        value = high_;
    else
        value = kLowest * std::exp((double(bin - 1) + 0.5) * kLogRatio);
    return std::clamp(value, low_, high_);
}

double LengthHistogram::Median() const {
    if (total_ == 0) return 0;
    if (total_ % 2) return ValueAt(total_ / 2);
    return 0.5 * (ValueAt(total_ / 2 - 1) + ValueAt(total_ / 2));
}

int DataSetIdSlot(const TrackFileHeader& header) {
    for (size_t i = header.propertyNames.size(); i-- > 0;) {
        if (header.propertyNames[i] == "DataSetID") return int(i);
    }
    return -1;
}

bool PointsToWorld(const TrackFileHeader& header, Matrix4& affine) {
    std::string ignored;
    if (SpaceTransform(header, header.space, PointSpace::World, affine, ignored)) return true;
    SpaceTransform(header, PointSpace::World, PointSpace::World, affine, ignored);  // identity
    return false;
}

bool SummariseTrackFile(const std::string& path, TrackSummary& summary, std::string& message) {
    summary = TrackSummary();
    summary.path = path;
    TrackFileReader reader;
    if (!reader.Open(path, message)) return false;
    summary.header = reader.header();
    summary.fileSize = reader.fileSize();
    Matrix4 toWorld;
    summary.worldLengths = PointsToWorld(summary.header, toWorld);
    const int slot = DataSetIdSlot(summary.header);
    summary.hasSources = slot >= 0;

    LengthHistogram lengths;
    double totalLength = 0;
    Track track;
    while (reader.next(track)) {
        const size_t n = track.PointCount();
        TransformPoints(toWorld, track.points.data(), n);
        const double length = CTrack::GetLength(track.points.data(), int(n));
        for (size_t p = 0; p < n; ++p) {
            for (int a = 0; a < 3; ++a) {
                const double value = track.points[3 * p + a];
                const bool first = summary.points == 0 && p == 0;
                summary.lowMm[a] = first ? value : std::min(summary.lowMm[a], value);
                summary.highMm[a] = first ? value : std::max(summary.highMm[a], value);
            }
        }
        summary.minLengthMm = summary.tracks ? std::min(summary.minLengthMm, length) : length;
        summary.maxLengthMm = std::max(summary.maxLengthMm, length);
        totalLength += length;
        lengths.Add(length);
        ++summary.tracks;
        summary.points += int64_t(n);

        if (slot < 0) continue;
        const double id = track.properties[size_t(slot)];
        auto& sources = summary.sources;
        auto at = std::lower_bound(
            sources.begin(), sources.end(), id,
            [](const SourceFigures& source, double value) { return source.id < value; });
        if (at == sources.end() || at->id != id) {
            if (sources.size() >= kMaxSources || std::isnan(id)) {
                ++summary.tracksOfUncountedSources;
                continue;
            }
            at = sources.insert(at, SourceFigures{id, 0, 0});
        }
        ++at->tracks;
        at->totalLengthMm += length;
    }
    if (summary.tracks) {
        summary.meanLengthMm = totalLength / double(summary.tracks);
        summary.medianLengthMm = lengths.Median();
    }
    summary.complete = reader.ok();
    summary.damage = reader.message();
    summary.stoppedAtByte = reader.bytePosition();
    return true;
}

}  // namespace fibrejoin
