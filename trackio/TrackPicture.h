// A picture of a track file: an SVG drawing of its tracks projected on three orthogonal planes,
// drawn to scale in world millimetres, with axes, tick labels, a scale bar and the anatomical
// direction at each end of each axis. Tracks are coloured by their local direction (red, green,
// blue for the x, y and z components) or by their DataSetID with a legend.
//
// The picture stays small whatever the input: at most kMaxPictureTracks tracks are drawn, evenly
// chosen through the file, each decimated to at most kMaxPicturePoints points, with coordinates
// rounded to a tenth of a pixel inside panels of at most kPicturePanelPixels; segments of one
// colour share one path. That bounds the file under kMaxPictureBytes.
//
// WriteTrackPicture reads the file a second time, streaming, after SummariseTrackFile has told
// how many tracks it holds and where they lie; it writes the picture through an OutputFile, so a
// failure leaves no partial picture.
#ifndef FIBREJOIN_TRACKIO_TRACKPICTURE_H
#define FIBREJOIN_TRACKIO_TRACKPICTURE_H

#include <cstddef>
#include <string>

#include "trackio/TrackSummary.h"

namespace fibrejoin {

constexpr size_t kMaxPictureTracks = 1000;
constexpr size_t kMaxPicturePoints = 24;
constexpr double kPicturePanelPixels = 360;
constexpr size_t kMaxPictureBytes = 2 * 1000 * 1000;

enum class PictureColour { Direction, Source };

struct PictureOptions {
    PictureColour colour = PictureColour::Direction;
    std::string title;     // empty: the file's name
    bool replace = false;  // an existing picture is refused unless set
};

// Draws the tracks of summary.path (a summary SummariseTrackFile made) into svgPath. Colouring by
// source needs a DataSetID property. false with a message naming the file and the reason.
bool WriteTrackPicture(const TrackSummary& summary, const std::string& svgPath,
                       const PictureOptions& options, std::string& message);

}  // namespace fibrejoin

#endif  // FIBREJOIN_TRACKIO_TRACKPICTURE_H
