// fibreinfo FILE...: what a .trk or .tck file holds, for a person or, with --json, for a script;
// with --picture, an SVG of the tracks in three projections.
//
// Each file is streamed once for its figures (and once more for a picture), so memory does not
// depend on its size. A damaged file is reported up to where reading stopped; the exit status is
// then 1, as for a file that cannot be read at all.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands/CommandLine.h"
#include "trackio/TrackPicture.h"
#include "trackio/TrackSummary.h"

namespace fibrejoin {
namespace {

struct Arguments {
    std::vector<std::string> files;
    bool json = false;
    std::string picture;
    std::string colourBy = "direction";
    bool force = false;
};

void Declare(CLI::App& app, Arguments& a) {
    AddVersionFlag(app);
    app.add_option("FILE", a.files, "Track files (.trk or .tck)")->required();
    app.add_flag("--json", a.json, "One JSON object per file, one per line");
    CLI::Option* picture =
        app.add_option("--picture", a.picture, "Draw the tracks of the one FILE into this SVG")
            ->option_text("OUT.svg");
    app.add_option("--colour-by,--color-by", a.colourBy, "Colour of the tracks in the picture")
        ->check(CLI::IsMember({"direction", "source"}))
        ->option_text("direction|source (default: direction)")
        ->needs(picture);
    app.add_flag("-f,--force", a.force, "Replace an existing picture");
}

bool HostIsBigEndian() {
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 0;
}

std::string ByteOrder(const TrackFileHeader& header) {
    return header.foreignByteOrder != HostIsBigEndian() ? "big-endian" : "little-endian";
}

std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", value);
    return buffer;
}

std::string Text(double value, const char* format = "%.2f") {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string JsonNames(const std::vector<std::string>& names) {
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i)
        out += (i ? "," : "") + JsonString(names[i]);
    return out + "]";
}

std::string Json(const TrackSummary& s) {
    const TrackFileHeader& h = s.header;
    std::string out = "{\"file\":" + JsonString(s.path);
    out += ",\"format\":\"" + std::string(h.format == TrackFormat::Trk ? "trk" : "tck") + "\"";
    out += ",\"byte_order\":\"" + ByteOrder(h) + "\"";
    out += ",\"grid\":[" + std::to_string(h.dims[0]) + "," + std::to_string(h.dims[1]) + "," +
           std::to_string(h.dims[2]) + "]";
    out += ",\"voxel_size_mm\":[" + Number(h.voxelSize[0]) + "," + Number(h.voxelSize[1]) + "," +
           Number(h.voxelSize[2]) + "]";
    out += ",\"voxel_to_world\":[";
    for (int row = 0; row < 4; ++row) {
        out += row ? ",[" : "[";
        for (int column = 0; column < 4; ++column)
            out += (column ? "," : "") + Number(h.voxelToWorld[size_t(4 * row + column)]);
        out += "]";
    }
    out += "],\"orientation\":" + JsonString(h.orientation);
    out += ",\"scalars\":" + JsonNames(h.scalarNames);
    out += ",\"properties\":" + JsonNames(h.propertyNames);
    out += ",\"stored_track_count\":" +
           (h.storedTrackCount < 0 ? std::string("null") : std::to_string(h.storedTrackCount));
    out += ",\"tracks\":" + std::to_string(s.tracks);
    out += ",\"counts_agree\":" + std::string(s.CountsAgree() ? "true" : "false");
    out += ",\"points\":" + std::to_string(s.points);
    out += ",\"length_mm\":{\"min\":" + Number(s.minLengthMm) +
           ",\"median\":" + Number(s.medianLengthMm) + ",\"mean\":" + Number(s.meanLengthMm) +
           ",\"max\":" + Number(s.maxLengthMm) +
           ",\"median_relative_resolution\":" + Number(kMedianRelativeResolution) +
           ",\"world\":" + (s.worldLengths ? "true" : "false") + "}";
    if (s.hasSources) {
        out += ",\"sources\":[";
        for (size_t i = 0; i < s.sources.size(); ++i) {
            out += (i ? ",{" : "{") + std::string("\"id\":") + Number(s.sources[i].id) +
                   ",\"tracks\":" + std::to_string(s.sources[i].tracks) +
                   ",\"mean_length_mm\":" + Number(s.sources[i].MeanLengthMm()) + "}";
        }
        out += "],\"tracks_of_uncounted_sources\":" + std::to_string(s.tracksOfUncountedSources);
    }
    out += ",\"complete\":" + std::string(s.complete ? "true" : "false");
    if (!s.complete) {
        out += ",\"damage\":{\"message\":" + JsonString(s.damage) +
               ",\"stopped_at_byte\":" + std::to_string(s.stoppedAtByte) +
               ",\"file_size\":" + std::to_string(s.fileSize) + "}";
    }
    return out + "}";
}

std::string Names(const std::vector<std::string>& names) {
    if (names.empty()) return "none";
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i ? ", " : "") + (names[i].empty() ? std::string("(unnamed)") : names[i]);
    return out;
}

std::string Report(const TrackSummary& s) {
    const TrackFileHeader& h = s.header;
    auto line = [](const std::string& label, const std::string& value) {
        std::string padded = label;
        padded.resize(std::max<size_t>(label.size() + 1, 14), ' ');
        return padded + value + "\n";
    };
    std::string out = line("file", s.path);
    out += line("format", std::string(h.format == TrackFormat::Trk ? ".trk" : ".tck") + ", " +
                              ByteOrder(h) + (h.foreignByteOrder ? " (swapped on reading)" : ""));
    out += line("grid", std::to_string(h.dims[0]) + " x " + std::to_string(h.dims[1]) + " x " +
                            std::to_string(h.dims[2]) + " voxels");
    out += line("voxel size", Text(h.voxelSize[0], "%g") + " x " + Text(h.voxelSize[1], "%g") +
                                  " x " + Text(h.voxelSize[2], "%g") + " mm");
    for (int row = 0; row < 3; ++row) {
        std::string values;
        for (int column = 0; column < 4; ++column)
            values += Text(h.voxelToWorld[size_t(4 * row + column)], "%10.4g");
        out += line(row ? "" : "voxel->world", values);
    }
    out += line("orientation", h.orientation.empty() ? "unknown" : h.orientation);
    out += line("scalars", Names(h.scalarNames));
    out += line("properties", Names(h.propertyNames));
    std::string count = std::to_string(s.tracks) + " read";
    if (h.storedTrackCount < 0)
        count += "; the header states no count";
    else if (s.CountsAgree())
        count += "; the header says the same";
    else
        count += "; the header says " + std::to_string(h.storedTrackCount) + " (they DIFFER)";
    out += line("tracks", count);
    out += line("points", std::to_string(s.points));
    out += line(s.worldLengths ? "length (mm)" : "length",
                "min " + Text(s.minLengthMm) + ", median " + Text(s.medianLengthMm) + ", mean " +
                    Text(s.meanLengthMm) + ", max " + Text(s.maxLengthMm) +
                    (s.worldLengths ? "" : " (in the file's own space: the matrix is unusable)"));
    if (s.hasSources) {
        out += "per DataSetID     tracks   mean length (mm)\n";
        for (const SourceFigures& source : s.sources) {
            char row[96];
            std::snprintf(row, sizeof row, "  %-12g%10lld%19.2f\n", source.id,
                          static_cast<long long>(source.tracks), source.MeanLengthMm());
            out += row;
        }
        if (s.tracksOfUncountedSources > 0)
            out += "  and " + std::to_string(s.tracksOfUncountedSources) +
                   " tracks of further DataSetID values (beyond " + std::to_string(kMaxSources) +
                   ")\n";
    }
    if (!s.complete) {
        out += line("DAMAGED", s.damage);
        out += line("", "the figures above are those of the " + std::to_string(s.tracks) +
                            " tracks before the damage (reading stopped at byte " +
                            std::to_string(s.stoppedAtByte) + " of " + std::to_string(s.fileSize) +
                            ")");
    }
    return out;
}

int Run(const CLI::App& app, const Arguments& a) {
    if (!a.picture.empty() && a.files.size() != 1) {
        std::cerr << app.get_name() << ": --picture draws one FILE, not " << a.files.size()
                  << "\nRun '" << app.get_name() << " --help' for the options.\n";
        return kExitUsage;
    }
    int status = kExitSuccess;
    for (size_t i = 0; i < a.files.size(); ++i) {
        const std::string& path = a.files[i];
        TrackSummary summary;
        std::string message;
        if (!SummariseTrackFile(path, summary, message)) {
            if (a.json)
                std::cout << "{\"file\":" << JsonString(path)
                          << ",\"error\":" << JsonString(message) << "}" << std::endl;
            status = Fail(app, message);
            continue;
        }
        if (a.json)
            std::cout << Json(summary) << std::endl;
        else
            std::cout << (i ? "\n" : "") << Report(summary) << std::flush;
        if (!summary.complete) {
            status = kExitFailure;
            std::cerr << app.get_name() << ": " << summary.damage << '\n';
        }
        if (!a.picture.empty()) {
            PictureOptions options;
            options.colour =
                a.colourBy == "source" ? PictureColour::Source : PictureColour::Direction;
            options.replace = a.force;
            if (!WriteTrackPicture(summary, a.picture, options, message))
                status = Fail(app, message);
            else if (!a.json)
                std::cout << "picture       " << a.picture << "\n";
        }
    }
    return status;
}

}  // namespace
}  // namespace fibrejoin

int main(int argc, char** argv) {
    CLI::App app{"What a track file holds: header, counts, lengths, sources; and a picture",
                 "fibreinfo"};
    fibrejoin::Arguments arguments;
    fibrejoin::Declare(app, arguments);
    const int parsed = fibrejoin::ParseArguments(app, argc, argv);
    if (parsed >= 0) return parsed;
    return fibrejoin::Run(app, arguments);
}
