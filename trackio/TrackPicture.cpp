#include "trackio/TrackPicture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "utils/File.h"

namespace fibrejoin {
namespace {

// Room around the panels, in pixels: left of the first column and above the first row (title,
// tick labels), between columns and rows (tick labels, axis names).
constexpr double kLeft = 70, kTop = 100, kGap = 90;
// Direction colours take six levels per channel (the 216 "#rgb" colours of 0, 3, 6, 9, c, f).
constexpr int kLevels = 6;
const char kLevelDigits[] = "0369cf";
const char* const kSourceColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                      "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
constexpr size_t kSourceColourCount = sizeof(kSourceColours) / sizeof(kSourceColours[0]);
constexpr size_t kLegendRows = 16;

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (c < 0x20 || c >= 0x7f)
            out += '?';  // keeps the file valid XML whatever bytes a file name holds
        else
            out += char(c);
    }
    return out;
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
    return buffer;
}

// 1, 2 or 5 times a power of ten, near an eighth of extent.
double TickStep(double extent) {
    const double raw = extent / 8;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= raw) return factor * power;
    }
    return 10 * power;
}

struct Panel {
    int u, v;          // world axes drawn across and up
    double left, top;  // pixels
    const char* name;
};

}  // namespace

bool WriteTrackPicture(const TrackSummary& summary, const std::string& svgPath,
                       const PictureOptions& options, std::string& message) {
    const TrackFileHeader& header = summary.header;
    const int slot = DataSetIdSlot(header);
    const bool bySource = options.colour == PictureColour::Source;
    if (bySource && slot < 0) {
        message = summary.path + ": no DataSetID property to colour the tracks by";
        return false;
    }
    Matrix4 toWorld;
    PointsToWorld(header, toWorld);

    // The world box: the tracks and the grid, widened to whole tick steps.
    std::array<double, 3> low = summary.lowMm, high = summary.highMm;
    bool boxSet = summary.points > 0;
    if (header.dims[0] > 0 && header.dims[1] > 0 && header.dims[2] > 0) {
        for (int corner = 0; corner < 8; ++corner) {
            std::array<double, 3> world{};
            for (int row = 0; row < 3; ++row) {
                world[size_t(row)] = header.voxelToWorld[size_t(4 * row + 3)];
                for (int a = 0; a < 3; ++a) {
                    const double index = (corner >> a & 1) ? header.dims[size_t(a)] - 0.5 : -0.5;
                    world[size_t(row)] += header.voxelToWorld[size_t(4 * row + a)] * index;
                }
            }
            if (!std::isfinite(world[0] + world[1] + world[2])) continue;
            for (size_t a = 0; a < 3; ++a) {
                low[a] = boxSet ? std::min(low[a], world[a]) : world[a];
                high[a] = boxSet ? std::max(high[a], world[a]) : world[a];
            }
            boxSet = true;
        }
    }
    double largest = 1;
    for (size_t a = 0; a < 3; ++a) {
        if (!boxSet || !std::isfinite(low[a]) || !std::isfinite(high[a])) low[a] = high[a] = 0;
        largest = std::max(largest, high[a] - low[a]);
    }
    const double step = TickStep(largest);
    for (size_t a = 0; a < 3; ++a) {
        low[a] = std::floor(low[a] / step) * step;
        high[a] = std::max(std::ceil(high[a] / step) * step, low[a] + step);
        largest = std::max(largest, high[a] - low[a]);
    }
    const double scale = kPicturePanelPixels / largest;  // pixels per mm, the same everywhere
    const double extent[3] = {scale * (high[0] - low[0]), scale * (high[1] - low[1]),
                              scale * (high[2] - low[2])};

    // Coronal and sagittal side by side sharing z; the axial view under the coronal one sharing
    // x; the key in the fourth corner.
    const double column2 = kLeft + extent[0] + kGap, row2 = kTop + extent[2] + kGap;
    const Panel panels[3] = {{0, 2, kLeft, kTop, "coronal projection (x, z)"},
                             {1, 2, column2, kTop, "sagittal projection (y, z)"},
                             {0, 1, kLeft, row2, "axial projection (x, y)"}};
    const double width = column2 + std::max(extent[1], 240.0) + 30;
    const double height = row2 + std::max(extent[1], 230.0) + 40;
    auto X = [&](const Panel& p, double world) { return p.left + scale * (world - low[p.u]); };
    auto Y = [&](const Panel& p, double world) {
        return p.top + extent[p.v] - scale * (world - low[p.v]);
    };

    // The tracks drawn: K of T, track i when floor((i + 1) K / T) passes floor(i K / T).
    const int64_t total = summary.tracks;
    const int64_t drawn = std::min<int64_t>(total, int64_t(kMaxPictureTracks));
    const size_t colourCount =
        bySource ? summary.sources.size() + 1 : size_t(kLevels) * kLevels * kLevels;
    // Paths: one per colour by direction; one per track by source, drawn with the sources taking
    // turns track by track (order), so that no source hides the others.
    struct Stroke {
        size_t colour;
        std::pair<int64_t, size_t> order;
        std::array<std::string, 3> d;  // per panel
    };
    std::vector<Stroke> strokes;
    std::vector<int64_t> drawnPerSource(colourCount, 0);
    if (!bySource) {
        for (size_t colour = 0; colour < colourCount; ++colour)
            strokes.push_back({colour, {0, colour}, {}});
    }
    TrackFileReader reader;
    if (drawn > 0 && !reader.Open(summary.path, message)) return false;
    Track track;
    std::vector<double> kept;
    for (int64_t i = 0; drawn > 0 && i < total && reader.next(track); ++i) {
        if ((i + 1) * drawn / total == i * drawn / total) continue;
        const size_t n = track.PointCount(), m = std::min(n, kMaxPicturePoints);
        if (m < 2) continue;
        TransformPoints(toWorld, track.points.data(), n);
        kept.clear();
        for (size_t j = 0; j < m; ++j) {
            const size_t at = size_t(std::llround(double(j) * double(n - 1) / double(m - 1)));
            for (size_t a = 0; a < 3; ++a)
                kept.push_back(track.points[3 * at + a]);
        }
        size_t sourceKey = summary.sources.size();  // grey: a source beyond the legend
        if (bySource) {
            const double id = track.properties[size_t(slot)];
            const auto at = std::lower_bound(
                summary.sources.begin(), summary.sources.end(), id,
                [](const SourceFigures& source, double value) { return source.id < value; });
            if (at != summary.sources.end() && at->id == id)
                sourceKey = size_t(at - summary.sources.begin());
        }
        if (bySource) {
            strokes.push_back({sourceKey, {drawnPerSource[sourceKey]++, sourceKey}, {}});
        }
        size_t previous = colourCount;  // no run open
        for (size_t j = 0; j + 1 < m; ++j) {
            const double* a = &kept[3 * j];
            const double* b = a + 3;
            size_t key = sourceKey;
            if (!bySource) {
                const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
                const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                if (!(length > 0) || !std::isfinite(length)) {
                    previous = colourCount;
                    continue;
                }
                key = 0;
                for (double c : d)
                    key =
                        key * kLevels + size_t(std::lround(std::fabs(c) / length * (kLevels - 1)));
            }
            for (size_t p = 0; p < 3; ++p) {
                const Panel& panel = panels[p];
                std::string& path = (bySource ? strokes.back() : strokes[key]).d[p];
                if (key != previous)
                    path += Format("M%.1f %.1f", X(panel, a[panel.u]), Y(panel, a[panel.v]));
                path += Format(" %.1f %.1f", X(panel, b[panel.u]), Y(panel, b[panel.v]));
            }
            previous = key;
        }
    }
    std::sort(strokes.begin(), strokes.end(),
              [](const Stroke& a, const Stroke& b) { return a.order < b.order; });
    if (drawn > 0 && !reader.ok() && summary.complete) {
        message = reader.message();
        return false;
    }

    // The picture, assembled in memory (bounded as the header says) and written at once.
    std::string svg =
        Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" ", width,
               height) +
        Format("viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"11\">\n", width,
               height) +
        "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    std::string title = options.title;
    if (title.empty()) title = summary.path.substr(summary.path.find_last_of('/') + 1);
    svg += "<text x=\"16\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" + Escape(title) +
           "</text>\n";
    svg += "<text x=\"16\" y=\"40\">" + std::to_string(drawn) + " of " + std::to_string(total) +
           " tracks drawn, evenly chosen through the file, at most " +
           std::to_string(kMaxPicturePoints) + " points each; world mm" +
           (summary.complete ? "" : "; the file is damaged: tracks up to the damage") + "</text>\n";
    svg += "<text x=\"16\" y=\"56\">grid " + std::to_string(header.dims[0]) + " x " +
           std::to_string(header.dims[1]) + " x " + std::to_string(header.dims[2]) +
           Format(" of %g x %g x %g mm", header.voxelSize[0], header.voxelSize[1],
                  header.voxelSize[2]) +
           ", voxel order " + Escape(header.orientation.empty() ? "unknown" : header.orientation) +
           "</text>\n";

    // World axes: the letters of the positive and negative directions, from the matrix convention.
    Matrix4 identity{}, flipped{};
    for (int a = 0; a < 4; ++a) {
        identity[size_t(5 * a)] = 1;
        flipped[size_t(5 * a)] = a < 3 ? -1 : 1;
    }
    const std::string positive = OrientationFromMatrix(identity);
    const std::string negative = OrientationFromMatrix(flipped);
    const char* axisNames[3] = {"x", "y", "z"};
    for (size_t p = 0; p < 3; ++p) {
        const Panel& panel = panels[p];
        const double w = extent[panel.u], h = extent[panel.v];
        const double right = panel.left + w, bottom = panel.top + h;
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-weight=\"bold\">", panel.left,
                      panel.top - 24) +
               panel.name + "</text>\n";
        svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" ", panel.left,
                      panel.top, w, h) +
               "fill=\"#f8f8f8\" stroke=\"#666\"/>\n<g stroke=\"#666\">";
        for (double t = low[panel.u]; t <= high[panel.u] + step / 2; t += step)
            svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", X(panel, t),
                          bottom, X(panel, t), bottom + 5);
        for (double t = low[panel.v]; t <= high[panel.v] + step / 2; t += step)
            svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", panel.left - 5,
                          Y(panel, t), panel.left, Y(panel, t));
        svg += "</g>\n<g fill=\"#333\">";
        for (double t = low[panel.u]; t <= high[panel.u] + step / 2; t += step)
            svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>",
                          X(panel, t), bottom + 17, std::fabs(t) < step / 1e6 ? 0.0 : t);
        for (double t = low[panel.v]; t <= high[panel.v] + step / 2; t += step)
            svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>",
                          panel.left - 8, Y(panel, t) + 4, std::fabs(t) < step / 1e6 ? 0.0 : t);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", panel.left + w / 2,
                      bottom + 34) +
               axisNames[panel.u] + " (mm)</text>";
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", panel.left,
                      panel.top - 8) +
               axisNames[panel.v] + " (mm)</text></g>\n";
        // The anatomical direction at each end of each axis, inside the frame, drawn over the
        // tracks so that none hides it.
        std::string letters = "<g font-size=\"14\" font-weight=\"bold\" fill=\"#888\">";
        if (positive.size() == 3 && negative.size() == 3) {
            letters +=
                Format("<text x=\"%.1f\" y=\"%.1f\">", panel.left + 4, panel.top + h / 2 + 5) +
                negative[size_t(panel.u)] + "</text>";
            letters += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", right - 4,
                              panel.top + h / 2 + 5) +
                       positive[size_t(panel.u)] + "</text>";
            letters += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">",
                              panel.left + w / 2, panel.top + 16) +
                       positive[size_t(panel.v)] + "</text>";
            letters += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">",
                              panel.left + w / 2, bottom - 5) +
                       negative[size_t(panel.v)] + "</text>";
        }
        letters += "</g>\n";
        svg +=
            "<g fill=\"none\" stroke-width=\"0.7\" stroke-opacity=\"0.75\" "
            "stroke-linecap=\"round\">\n";
        for (Stroke& stroke : strokes) {
            if (stroke.d[p].empty()) continue;
            const size_t key = stroke.colour;
            std::string colour = "#999";
            if (bySource && key < summary.sources.size())
                colour = kSourceColours[key % kSourceColourCount];
            else if (!bySource)
                colour = {'#', kLevelDigits[key / (kLevels * kLevels)],
                          kLevelDigits[key / kLevels % kLevels], kLevelDigits[key % kLevels]};
            svg += "<path stroke=\"" + colour + "\" d=\"" + stroke.d[p] + "\"/>\n";
            stroke.d[p] = std::string();  // memory back as the picture grows
        }
        svg += "</g>\n" + letters;
    }

    // The key: scale bar, then the colours.
    double y = row2 + 4;
    svg += Format(
               "<g stroke=\"#000\" stroke-width=\"2\"><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" "
               "y2=\"%.1f\"/></g>",
               column2, y, column2 + step * scale, y) +
           Format("<text x=\"%.1f\" y=\"%.1f\">%g mm</text>\n", column2 + step * scale + 8, y + 4,
                  step);
    y += 28;
    if (bySource) {
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-weight=\"bold\">", column2, y) +
               "Colour: DataSetID (tracks, mean length)</text>\n";
        for (size_t s = 0; s < summary.sources.size() && s < kLegendRows; ++s) {
            const SourceFigures& source = summary.sources[s];
            y += 16;
            svg +=
                Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke-width=\"3\" ",
                       column2, y - 4, column2 + 20, y - 4) +
                "stroke=\"" + kSourceColours[s % kSourceColourCount] + "\"/>" +
                Format("<text x=\"%.1f\" y=\"%.1f\">DataSetID %g: ", column2 + 26, y, source.id) +
                std::to_string(source.tracks) +
                Format(" tracks, %.1f mm</text>\n", source.MeanLengthMm());
        }
        if (summary.sources.size() > kLegendRows || summary.tracksOfUncountedSources > 0) {
            y += 16;
            svg += Format("<text x=\"%.1f\" y=\"%.1f\">", column2, y) + "and " +
                   std::to_string(summary.sources.size() -
                                  std::min(summary.sources.size(), kLegendRows)) +
                   " more sources (colours repeat; grey: beyond " + std::to_string(kMaxSources) +
                   ")</text>\n";
        }
    } else {
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-weight=\"bold\">", column2, y) +
               "Colour: local direction</text>\n";
        const char* colours[3] = {"#f00", "#0f0", "#00f"};
        for (size_t a = 0; a < 3; ++a) {
            y += 16;
            svg +=
                Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke-width=\"3\" ",
                       column2, y - 4, column2 + 20, y - 4) +
                "stroke=\"" + colours[a] + "\"/>" +
                Format("<text x=\"%.1f\" y=\"%.1f\">", column2 + 26, y) + axisNames[a];
            if (positive.size() == 3 && negative.size() == 3)
                svg += std::string(": ") + negative[a] + "-" + positive[a];
            svg += "</text>\n";
        }
    }
    svg += "</svg>\n";
    if (svg.size() > kMaxPictureBytes) {  // cannot happen within the bounds above; never write more
        message =
            svgPath + ": the picture would exceed " + std::to_string(kMaxPictureBytes) + " bytes";
        return false;
    }

    OutputFile output;
    if (!output.Open(svgPath, options.replace, message)) return false;
    if (!WriteAll(output.get(), svg.data(), svg.size())) {
        message = svgPath + ": could not write the picture";
        return false;
    }
    return output.Commit(message);
}

}  // namespace fibrejoin
