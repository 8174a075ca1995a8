// Clipping the canvas backends share: a line far off the surface is cut down
// to the part near it before it is drawn; a block copy to what lies on both
// surfaces; what changed, for the window to repaint.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/vcl/vcl.h"

namespace vcl {

struct Segment {
    double x1, y1, x2, y2;
};
struct Box {
    double left, top, right, bottom;
};

// Clips `segment` to `box` (Liang-Barsky). Returns false when nothing of it
// lies inside. An end inside the box is left exactly as it was.
bool clip_segment(Segment& segment, const Box& box);

// A block of pixels copied from one surface to another (or the same).
struct BlockCopy {
    int from_x, from_y;  // its top left on the source
    int to_x, to_y;      // and on the destination
    int width, height;
};

// What CopyRect copies: `source`'s pixels from its top left to `dest`'s, as
// much as both rectangles hold, cut to what lies on the source surface
// (source_width x source_height) and on the destination surface. Returns
// false when nothing is left to copy.
bool clip_copy(const TRect& dest, int dest_width, int dest_height, const TRect& source,
               int source_width, int source_height, BlockCopy& block);

// What a canvas changed since its window last repainted, as a few
// rectangles: a table's cells and a chart's newest columns stay apart, so the
// window repaints and flushes those, not the box around them all. A
// rectangle that overlaps or touches a kept one joins it (and what that one
// then meets); past `max_areas`, a new one joins the kept one it grows least.
class DirtyAreas {
  public:
    static constexpr std::size_t max_areas = 16;
    // An empty rectangle adds nothing.
    void add(const TRect& area);
    bool empty() const { return areas_.empty(); }
    // Whether a kept rectangle shares a pixel with `area`.
    bool meets(const TRect& area) const;
    // The rectangles, none kept after.
    std::vector<TRect> take();

  private:
    std::vector<TRect> areas_;
};

}  // namespace vcl
