// A stored form layout as a table: what scripts/ui_table.py makes of a Qt
// Designer .ui file at build time, for the Win32 backend to stream a form from
// (uic does the same job for the Qt backend). Plain constant data, no Windows
// types, so the generator's output can be checked on any compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vcl::win32 {

enum class ControlKind { Label, Button, Edit, Memo, ComboBox };

// Scroll bars a memo shows.
enum ScrollBars : unsigned { NoScrollBars = 0, HorizontalScrollBar = 1, VerticalScrollBar = 2 };

struct LayoutRect {
    int left;
    int top;
    int width;
    int height;
};

struct LayoutFont {
    const char* family;
    int pixel_size;  // 0: the system's size
};

// Colours are 0x00BBGGRR, or a system colour (top byte set, COLOR_* index below).
constexpr std::uint32_t layout_clWindowText = 0xFF000008;
constexpr std::uint32_t layout_clBtnFace = 0xFF00000F;

struct ControlLayout {
    ControlKind kind;
    const char* name;
    LayoutRect geometry;
    const char* text;  // a label's or button's caption, an edit's or memo's text
    LayoutFont font;
    std::uint32_t text_colour;
    bool enabled;
    bool visible;
    bool read_only;         // edit and memo
    bool tab_stop;          // takes the focus with Tab (a focus policy other than NoFocus)
    int tab_order;          // position among the tab stops, -1 when not listed
    unsigned scroll_bars;   // memo: a ScrollBars mask
    bool cancel;            // button: Esc presses it
    const char* on_click;   // button: the handler's name, or ""
    const char* on_change;  // combo box: the handler's name, or ""
};

// An event of the form and the name of the handler the layout binds to it.
struct EventBinding {
    const char* event;  // OnCreate, OnActivate, OnClose, OnMouseMove
    const char* handler;
};

struct FormLayout {
    const char* name;  // the form's object name, which the form class asks for
    const char* caption;
    const char* source;  // the .ui file it came from, for messages
    bool has_position;   // the layout gives the window's position
    int left;
    int top;
    int client_width;
    int client_height;
    LayoutFont font;
    std::uint32_t colour;
    std::uint32_t text_colour;
    bool visible;  // shown when the application runs (the main form always is)
    const EventBinding* events;
    std::size_t event_count;
    const ControlLayout* controls;  // in creation order
    std::size_t control_count;
};

// Every layout the build generated, found by the form's object name; null when
// there is none.
const FormLayout* find_layout(std::string_view name);

}  // namespace vcl::win32
