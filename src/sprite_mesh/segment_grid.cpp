#include "sprite_mesh/segment_grid.hpp"

#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {

SegmentGrid::SegmentGrid(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1) : x0_(x0), y0_(y0) {
    const std::int64_t extent = std::max<std::int64_t>({x1 - x0, y1 - y0, 1});
    cell_ = std::max<std::int64_t>(8 * kUnit, extent / 512 + 1);
    cols_ = static_cast<int>((x1 - x0) / cell_ + 1);
    rows_ = static_cast<int>((y1 - y0) / cell_ + 1);
    head_.assign(static_cast<std::size_t>(cols_) * static_cast<std::size_t>(rows_), -1);
    tail_.assign(head_.size(), -1);
}

void SegmentGrid::reserve_segments(std::size_t segments) {
    segs_.reserve(segments);
    stamp_.reserve(segments);
    node_seg_.reserve(2 * segments);
    node_next_.reserve(2 * segments);
}

int SegmentGrid::insert(const P& a, const P& b, int ring) {
    const int id = static_cast<int>(segs_.size());
    segs_.push_back({a, b, ring, true});
    stamp_.push_back(0);
    for_cells(a, b, [&](std::size_t c) {
        const int node = static_cast<int>(node_seg_.size());
        node_seg_.push_back(id);
        node_next_.push_back(-1);
        if (tail_[c] < 0) {
            head_[c] = node;
        } else {
            node_next_[static_cast<std::size_t>(tail_[c])] = node;
        }
        tail_[c] = node;
    });
    return id;
}

}  // namespace sprite
}  // namespace vellumcut
