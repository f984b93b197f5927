#include "constrained_mesh/spacing_grid.hpp"

#include <algorithm>
#include <cmath>

namespace vellumcut {

namespace {

// The scan's own comparison: differences, squares and sum in single precision.
inline bool too_close(const cv::Point2f& p, const cv::Point2f& q, float s) {
    const float dx = p.x - q.x;
    const float dy = p.y - q.y;
    return dx * dx + dy * dy < s;
}

// Grid cells are capped so that a tiny spacing cannot ask for a huge grid;
// larger cells only hold more points each.
constexpr double kMaxCells = 16.0 * 1024.0 * 1024.0;

inline int cell_of(double v, double inv_cell, int count) {
    const double c = std::floor(v * inv_cell);
    if (!(c > 0.0)) {
        return 0;
    }
    return c >= count - 1 ? count - 1 : static_cast<int>(c);
}

}  // namespace

SpacingGrid make_spacing_grid(float s, int width, int height) {
    SpacingGrid grid;
    grid.s = s;
    // Outside this range rounding in the squares (underflow, overflow, an
    // infinite or NaN s) could break the bound the cell size relies on.
    if (!(s >= 1e-20f && s <= 1e30f)) {
        grid.linear = true;
        return grid;
    }
    const double w = std::max(1, width);
    const double h = std::max(1, height);
    double cell = std::sqrt(static_cast<double>(s)) * 1.001;
    cell = std::max(cell, std::sqrt(w * h / kMaxCells));
    grid.inv_cell = 1.0 / cell;
    grid.cols = static_cast<int>(std::min(w / cell + 1.0, kMaxCells));
    grid.rows = static_cast<int>(std::min(h / cell + 1.0, kMaxCells));
    grid.head.assign(static_cast<std::size_t>(grid.cols) * static_cast<std::size_t>(grid.rows), -1);
    return grid;
}

bool spacing_ok(const SpacingGrid& grid, cv::Point2f p) {
    if (grid.linear) {
        for (const cv::Point2f& q : grid.points) {
            if (too_close(p, q, grid.s)) {
                return false;
            }
        }
        return true;
    }
    // A NaN or infinite coordinate makes every computed distance NaN or
    // infinite, and neither is below a finite s.
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
        return true;
    }
    const int gx = cell_of(p.x, grid.inv_cell, grid.cols);
    const int gy = cell_of(p.y, grid.inv_cell, grid.rows);
    const int x0 = std::max(gx - 1, 0), x1 = std::min(gx + 1, grid.cols - 1);
    const int y0 = std::max(gy - 1, 0), y1 = std::min(gy + 1, grid.rows - 1);
    for (int y = y0; y <= y1; ++y) {
        const int* row = grid.head.data() + static_cast<std::size_t>(y) * grid.cols;
        for (int x = x0; x <= x1; ++x) {
            for (int i = row[x]; i >= 0; i = grid.next[static_cast<std::size_t>(i)]) {
                if (too_close(p, grid.points[static_cast<std::size_t>(i)], grid.s)) {
                    return false;
                }
            }
        }
    }
    return true;
}

void spacing_add(SpacingGrid& grid, cv::Point2f p) {
    if (grid.linear) {
        grid.points.push_back(p);
        return;
    }
    // Non-finite points can never reject another point (see spacing_ok).
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
        return;
    }
    const int gx = cell_of(p.x, grid.inv_cell, grid.cols);
    const int gy = cell_of(p.y, grid.inv_cell, grid.rows);
    const std::size_t cell = static_cast<std::size_t>(gy) * grid.cols + gx;
    const int id = static_cast<int>(grid.points.size());
    grid.points.push_back(p);
    grid.next.push_back(grid.head[cell]);
    grid.head[cell] = id;
}

}  // namespace vellumcut
