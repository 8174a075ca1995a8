// Line clipping the canvas backends share: a line far off the surface is cut
// down to the part near it before it is drawn.
#pragma once

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

}  // namespace vcl
