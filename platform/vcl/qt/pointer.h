// The system pointer over a form's window, taken once a frame rather than once
// a motion. On an X11 display the window asks the server for one motion hint
// instead of every motion: the first motion over it sends one event, and the
// program reads the pointer (one request, which lets the next motion send a
// hint again) as soon as the event loop has handled the hint when it has not
// read it in this frame yet, else at the start of the next frame. A mouse
// moving at 1000 Hz then wakes the program about once a frame, not 1000
// times, and the form still sees where the pointer is in every frame it moved
// in: its latest position goes through the toolkit as a motion would, to the
// child control under it or to the form. While a button is held after a press
// on the window (a drag, which the server reports to it even outside), the
// pointer is read every frame; when the pointer leaves, its last position
// inside comes from the server's motion history. Elsewhere (Wayland,
// offscreen) the toolkit's own motion events stay as they are.
#pragma once

#include <memory>

class QWidget;

namespace vcl::qt {

class PointerFrames {
  public:
    explicit PointerFrames(QWidget& window);
    ~PointerFrames();
    PointerFrames(const PointerFrames&) = delete;
    PointerFrames& operator=(const PointerFrames&) = delete;

    // Takes the window's pointer motion a frame at a time from now on. Called
    // once the window has its native window, and again when that changes;
    // does nothing off X11, or where the server or toolkit cannot do it.
    void start();

    struct Watch;

  private:
    std::unique_ptr<Watch> watch_;
};

}  // namespace vcl::qt
