// Outline helpers shared by every mesher, and islands(). The mask they work
// on comes from the loader in mask/ (mask/loader.hpp).
//
// Coordinate convention used throughout: pixel coordinates of the alpha mask,
// x to the right (columns), y downwards (rows), origin at the top-left pixel
// of the mask *including* its margin border. Traced outlines run through pixel
// centres, so every traced point has whole-number coordinates.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {

// One closed outline; the edge from the last point back to the first closes
// it and the first point is not repeated at the end.
using Loop = std::vector<cv::Point2f>;

// Shoelace area, each term in single precision, summed in double.
// Positive means clockwise on screen (y grows downwards).
double signed_area(const Loop& loop);

// Drops points closer than 1e-6 to the previously kept one (and a closing
// point equal to the first); a loop left with fewer than 3 points becomes its
// bounding rectangle grown by one pixel. Precondition: loop is not empty.
Loop clean_loop(Loop loop);

struct IslandsResult {
    std::vector<std::vector<float>> loops;  // flat x0, y0, x1, y1, ... per island
    int w = 0;
    int h = 0;
    float scale = 1.0f;
};

// Simplified outer outline of every opaque island, oriented so that its
// signed area is <= 0 (counter-clockwise on screen). `stop` is polled
// between the steps and every thousand outlines.
IslandsResult islands(const std::string& path, float eps, int margin, Stop& stop = no_stop());

}  // namespace vellumcut
