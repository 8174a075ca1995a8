// The facade's tests' user on Win32: the notification a combo box sends its
// form when the user chooses an item, PNG files read by WIC.
#include <windows.h>

#include <wincodec.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/win32/native.h"
#include "tests/ui/facade_driver.h"
#include "tests/win32/pump_until.h"

namespace facade_driver {

namespace {

using vcl::win32::narrow;
using vcl::win32::widen;

// A COM interface held for the length of a scope.
template <class Interface>
class Held {
  public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (pointer_ != nullptr)
            pointer_->Release();
    }
    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    void** put() { return reinterpret_cast<void**>(&pointer_); }
    Interface** put_typed() { return &pointer_; }

  private:
    Interface* pointer_ = nullptr;
};

void check(HRESULT result, const std::string& path, const char* step) {
    if (FAILED(result)) {
        throw std::runtime_error(path + ": " + step +
                                 " failed: " + vcl::win32::error_text(static_cast<DWORD>(result)));
    }
}

}  // namespace

bool run_loop_until(const std::function<bool()>& done) {
    return pump_until(done);
}

void choose_item(vcl::TComboBox& combo_box, int index) {
    HWND hwnd = combo_box.native()->hwnd;
    SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(hwnd));
}

Picture read_png(const std::string& path) {
    Held<IWICImagingFactory> factory;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWICImagingFactory, factory.put()),
          path, "making WIC");
    Held<IWICBitmapDecoder> decoder;
    check(factory->CreateDecoderFromFilename(widen(path).c_str(), nullptr, GENERIC_READ,
                                             WICDecodeMetadataCacheOnDemand, decoder.put_typed()),
          path, "reading");
    GUID container{};
    check(decoder->GetContainerFormat(&container), path, "reading the format");
    if (!IsEqualGUID(container, GUID_ContainerFormatPng))
        throw std::runtime_error(path + ": not a PNG file");
    Held<IWICBitmapFrameDecode> frame;
    check(decoder->GetFrame(0, frame.put_typed()), path, "reading the picture");
    Held<IWICFormatConverter> converter;
    check(factory->CreateFormatConverter(converter.put_typed()), path, "making a converter");
    check(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone,
                                nullptr, 0.0, WICBitmapPaletteTypeCustom),
          path, "converting");
    UINT width = 0;
    UINT height = 0;
    check(converter->GetSize(&width, &height), path, "reading the size");
    std::vector<BYTE> bytes(static_cast<std::size_t>(width) * height * 4);
    check(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bytes.size()), bytes.data()),
          path, "reading the pixels");
    Picture picture;
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.pixels.reserve(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        // Blue, green, red and an unused byte.
        picture.pixels.push_back(static_cast<vcl::TColor>(bytes[i + 2]) |
                                 static_cast<vcl::TColor>(bytes[i + 1]) << 8 |
                                 static_cast<vcl::TColor>(bytes[i]) << 16);
    }
    return picture;
}

}  // namespace facade_driver
