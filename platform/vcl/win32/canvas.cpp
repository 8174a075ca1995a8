// A form's canvas over GDI: a persistent DIB section drawn with GDI's own pens,
// brushes, MoveToEx/LineTo/Ellipse, FillRect, ExtTextOut, BitBlt and raster
// operations (R2_XORPEN for pmXor), so its pixel rules are GDI's. The form
// copies it to the screen once a frame; an area of it is saved as a PNG file
// from its bits.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/vcl/clip.h"
#include "platform/vcl/win32/native.h"

// The facade's TextOut is defined here under its own name, not <windows.h>'s
// macro for GDI's (which this file calls as ExtTextOutW).
#undef TextOut

namespace vcl {
namespace win32 {

namespace {

// GDI takes coordinates up to 2^27 in magnitude; farther figures are placed by
// this file first (clipped lines, enclosing ellipses) so every call stays inside.
constexpr std::int64_t gdi_reach = 1 << 26;

bool within_gdi(std::int64_t value) {
    return value > -gdi_reach && value < gdi_reach;
}

void mark_dirty(TCanvas::Native& native, int left, int top, int right, int bottom) {
    RECT area{std::max(left, 0), std::max(top, 0), std::min(right, native.width),
              std::min(bottom, native.height)};
    if (area.left >= area.right || area.top >= area.bottom)
        return;
    native.dirty.add(Rect(area.left, area.top, area.right, area.bottom));
    native.repaint->request();
}

void show_dirty(TCanvas::Native& native) {
    if (native.dirty.empty() || native.owner == nullptr)
        return;
    HWND hwnd = native.owner->native().hwnd;
    const std::vector<TRect> areas = native.dirty.take();
    if (hwnd == nullptr)
        return;
    // The window's update region gathers them; its paint copies only that.
    for (const TRect& r : areas) {
        const RECT area{r.Left, r.Top, r.Right, r.Bottom};
        InvalidateRect(hwnd, &area, FALSE);
    }
    // Painted now: under a stream of input, WM_PAINT would wait for a quiet queue.
    UpdateWindow(hwnd);
}

// The GDI objects of one figure, selected into the surface while it is drawn.
class Tools {
  public:
    Tools(HDC dc, const TPen& pen, int width, const TBrush* brush) : dc_(dc) {
        pen_ = CreatePen(PS_SOLID, width, colour_ref(pen.Color));
        old_pen_ = SelectObject(dc_, pen_);
        if (brush != nullptr) {
            brush_ = CreateSolidBrush(colour_ref(brush->Color));
            old_brush_ = SelectObject(dc_, brush_);
        }
        old_rop_ = SetROP2(dc_, pen.Mode == pmXor ? R2_XORPEN : R2_COPYPEN);
    }
    ~Tools() {
        SetROP2(dc_, old_rop_);
        SelectObject(dc_, old_pen_);
        DeleteObject(pen_);
        if (brush_ != nullptr) {
            SelectObject(dc_, old_brush_);
            DeleteObject(brush_);
        }
    }
    Tools(const Tools&) = delete;
    Tools& operator=(const Tools&) = delete;

  private:
    HDC dc_;
    HPEN pen_ = nullptr;
    HGDIOBJ old_pen_ = nullptr;
    HBRUSH brush_ = nullptr;
    HGDIOBJ old_brush_ = nullptr;
    int old_rop_ = 0;
};

// The form's font as the canvas draws text: the same face and size, without
// smoothing, so that each pixel is the text's colour or the box's.
HFONT text_font(TCanvas::Native& native) {
    if (native.text_font == nullptr) {
        HFONT base = native.owner != nullptr && native.owner->native().font != nullptr
                         ? native.owner->native().font
                         : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        LOGFONTW description{};
        GetObjectW(base, sizeof description, &description);
        description.lfQuality = NONANTIALIASED_QUALITY;
        native.text_font = CreateFontIndirectW(&description);
    }
    return native.text_font != nullptr ? native.text_font
                                       : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

SIZE text_extent(TCanvas::Native& native, const std::wstring& text) {
    SIZE size{};
    HDC dc = native.dc != nullptr ? native.dc : GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, text_font(native));
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    if (dc != native.dc)
        ReleaseDC(nullptr, dc);
    return size;
}

}  // namespace

void ensure_canvas_size(TCanvas& canvas, int width, int height) {
    TCanvas::Native& native = canvas.native();
    if (width <= native.width && height <= native.height)
        return;
    width = std::max(width, native.width);
    height = std::max(height, native.height);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down: row 0 is the top row
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr)
        throw Exception("cannot make a canvas of " + std::to_string(width) + " x " +
                        std::to_string(height) + " pixels");
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    const TForm::Native* form = native.owner != nullptr ? &native.owner->native() : nullptr;
    RECT all{0, 0, width, height};
    FillRect(dc, &all, solid_brush(form != nullptr ? form->colour : clBtnFace));
    if (native.dc != nullptr) {
        BitBlt(dc, 0, 0, native.width, native.height, native.dc, 0, 0, SRCCOPY);
        SelectObject(native.dc, native.old_bitmap);
        DeleteObject(native.bitmap);
        DeleteDC(native.dc);
    }
    GdiFlush();
    native.dc = dc;
    native.bitmap = bitmap;
    native.old_bitmap = old;
    native.bits = static_cast<std::uint32_t*>(bits);
    native.width = width;
    native.height = height;
}

}  // namespace win32

TCanvas::TCanvas(TForm* owner)
    : Pen(&pen_), Brush(&brush_), Font(&font_), native_(std::make_unique<Native>()) {
    native_->owner = owner;
    native_->repaint = std::make_unique<FramePacer>([this] { win32::show_dirty(*native_); });
}

TCanvas::~TCanvas() {
    if (native_->dc != nullptr) {
        SelectObject(native_->dc, native_->old_bitmap);
        DeleteObject(native_->bitmap);
        DeleteDC(native_->dc);
    }
    if (native_->text_font != nullptr)
        DeleteObject(native_->text_font);
}

void TCanvas::draw_line(int x1, int y1, int x2, int y2) {
    Native& native = *native_;
    if (native.dc == nullptr)
        return;
    const int width = pen_width();
    if (!win32::within_gdi(x1) || !win32::within_gdi(y1) || !win32::within_gdi(x2) ||
        !win32::within_gdi(y2)) {
        // Only the part near the surface is drawn; the margin keeps both clipped
        // ends off the surface, so the left-out end point stays left out.
        const double margin = width + 2.0;
        Segment line{static_cast<double>(x1), static_cast<double>(y1), static_cast<double>(x2),
                     static_cast<double>(y2)};
        if (!clip_segment(line, {-margin, -margin, native.width + margin, native.height + margin}))
            return;
        x1 = static_cast<int>(std::lround(line.x1));
        y1 = static_cast<int>(std::lround(line.y1));
        x2 = static_cast<int>(std::lround(line.x2));
        y2 = static_cast<int>(std::lround(line.y2));
        if (x1 == x2 && y1 == y2)
            return;
    }
    {
        win32::Tools tools(native.dc, pen_, width, nullptr);
        ::MoveToEx(native.dc, x1, y1, nullptr);
        ::LineTo(native.dc, x2, y2);
    }
    win32::mark_dirty(native, std::min(x1, x2) - width, std::min(y1, y2) - width,
                      std::max(x1, x2) + width + 1, std::max(y1, y2) + width + 1);
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
    Native& native = *native_;
    if (native.dc == nullptr)
        return;
    const int width = pen_width();
    const std::int64_t reach = ellipse_reach;
    const bool placeable = std::min<std::int64_t>(x1, x2) > -reach &&
                           std::min<std::int64_t>(y1, y2) > -reach &&
                           std::max<std::int64_t>(x1, x2) < native.width + reach &&
                           std::max<std::int64_t>(y1, y2) < native.height + reach;
    if (!placeable) {
        // Too far out to place exactly: drawn as plain fill when it encloses the
        // whole surface, left out when its outline crosses it.
        const double cx = (double(x1) + x2) / 2;
        const double cy = (double(y1) + y2) / 2;
        const double rx = std::abs(double(x2) - x1) / 2;
        const double ry = std::abs(double(y2) - y1) / 2;
        if (rx <= 0 || ry <= 0)
            return;
        const auto inside = [&](double x, double y) {
            const double dx = (x - cx) / rx;
            const double dy = (y - cy) / ry;
            return dx * dx + dy * dy < 1;
        };
        const double w = native.width;
        const double h = native.height;
        if (!(inside(0, 0) && inside(w, 0) && inside(0, h) && inside(w, h)))
            return;
        HBRUSH brush = CreateSolidBrush(win32::colour_ref(brush_.Color));
        HGDIOBJ old = SelectObject(native.dc, brush);
        PatBlt(native.dc, 0, 0, native.width, native.height,
               pen_.Mode == pmXor ? PATINVERT : PATCOPY);
        SelectObject(native.dc, old);
        DeleteObject(brush);
        win32::mark_dirty(native, 0, 0, native.width, native.height);
        return;
    }
    {
        win32::Tools tools(native.dc, pen_, width, &brush_);
        ::Ellipse(native.dc, x1, y1, x2, y2);
    }
    win32::mark_dirty(native, std::min(x1, x2) - width, std::min(y1, y2) - width,
                      std::max(x1, x2) + width + 1, std::max(y1, y2) + width + 1);
}

void TCanvas::FillRect(const TRect& rect) {
    Native& native = *native_;
    if (native.dc == nullptr || rect.Right <= rect.Left || rect.Bottom <= rect.Top)
        return;
    // Cut to the surface first: GDI takes coordinates up to 2^27 only.
    const RECT area{std::max(rect.Left, 0), std::max(rect.Top, 0),
                    std::min(rect.Right, native.width), std::min(rect.Bottom, native.height)};
    if (area.left >= area.right || area.top >= area.bottom)
        return;
    ::FillRect(native.dc, &area, win32::solid_brush(brush_.Color));
    win32::mark_dirty(native, area.left, area.top, area.right, area.bottom);
}

int TCanvas::TextWidth(const String& text) const {
    return win32::text_extent(*native_, win32::widen(text)).cx;
}

int TCanvas::TextHeight(const String& text) const {
    // Every line of the font is as high, whatever it holds.
    return win32::text_extent(*native_, text.empty() ? std::wstring(L" ") : win32::widen(text)).cy;
}

void TCanvas::TextOut(int x, int y, const String& text) {
    Native& native = *native_;
    if (native.dc == nullptr)
        return;
    const std::wstring wide = win32::widen(text);
    const SIZE size = win32::text_extent(native, wide.empty() ? std::wstring(L" ") : wide);
    const int width = wide.empty() ? 0 : size.cx;
    if (!win32::within_gdi(x) || !win32::within_gdi(y) || x + width <= 0 || y + size.cy <= 0 ||
        x >= native.width || y >= native.height)
        return;
    const RECT box{x, y, x + width, y + size.cy};
    HGDIOBJ old_font = SelectObject(native.dc, win32::text_font(native));
    const COLORREF old_text = SetTextColor(native.dc, win32::colour_ref(font_.Color));
    const COLORREF old_back = SetBkColor(native.dc, win32::colour_ref(brush_.Color));
    const int old_mode = SetBkMode(native.dc, OPAQUE);
    const UINT old_align = SetTextAlign(native.dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
    ExtTextOutW(native.dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &box, wide.c_str(),
                static_cast<UINT>(wide.size()), nullptr);
    SetTextAlign(native.dc, old_align);
    SetBkMode(native.dc, old_mode);
    SetBkColor(native.dc, old_back);
    SetTextColor(native.dc, old_text);
    SelectObject(native.dc, old_font);
    win32::mark_dirty(native, box.left, box.top, box.right, box.bottom);
}

void TCanvas::CopyRect(const TRect& dest, TCanvas* canvas, const TRect& source) {
    Native& native = *native_;
    if (canvas == nullptr || native.dc == nullptr || canvas->native_->dc == nullptr)
        return;
    const Native& from = *canvas->native_;
    BlockCopy block{};
    if (!clip_copy(dest, native.width, native.height, source, from.width, from.height, block))
        return;
    // BitBlt copies an overlapping block within one surface as it should.
    BitBlt(native.dc, block.to_x, block.to_y, block.width, block.height, from.dc, block.from_x,
           block.from_y, SRCCOPY);
    win32::mark_dirty(native, block.to_x, block.to_y, block.to_x + block.width,
                      block.to_y + block.height);
}

void TCanvas::SaveToPNG(const String& path, const TRect& area) const {
    const Native& native = *native_;
    const int left = std::max(area.Left, 0);
    const int top = std::max(area.Top, 0);
    const int right = std::min(area.Right, native.width);
    const int bottom = std::min(area.Bottom, native.height);
    if (native.bits == nullptr || right <= left || bottom <= top)
        throw Exception("cannot save " + path + ": the area holds no pixel of the canvas");
    const int width = right - left;
    const int height = bottom - top;
    // Rows of blue, green and red bytes, each row padded to 4 bytes.
    const UINT stride = (static_cast<UINT>(width) * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
    GdiFlush();  // GDI's drawing is on the bits
    for (int y = 0; y < height; ++y) {
        const std::uint32_t* in =
            native.bits + static_cast<std::size_t>(top + y) * native.width + left;
        BYTE* out = pixels.data() + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            // The DIB holds 0x00RRGGBB.
            out[3 * x] = static_cast<BYTE>(in[x]);
            out[3 * x + 1] = static_cast<BYTE>(in[x] >> 8);
            out[3 * x + 2] = static_cast<BYTE>(in[x] >> 16);
        }
    }
    win32::write_png(path, width, height, stride, pixels);
}

TColor TCanvas::Pixel(int x, int y) const {
    const Native& native = *native_;
    if (native.bits == nullptr || x < 0 || y < 0 || x >= native.width || y >= native.height)
        return clBlack;
    GdiFlush();
    const std::uint32_t rgb = native.bits[static_cast<std::size_t>(y) * native.width + x];
    // The DIB holds 0x00RRGGBB; a TColor is 0x00BBGGRR.
    return ((rgb & 0xFFu) << 16) | (rgb & 0xFF00u) | ((rgb >> 16) & 0xFFu);
}

}  // namespace vcl
