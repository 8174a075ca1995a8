// The facade's tests' user on Win32: the notification a combo box sends its
// form when the user chooses an item, the common save dialog found among the
// thread's windows and driven through its controls by the messages a user's
// typing and clicks make, PNG files read by WIC.
#include <windows.h>

#include <commdlg.h>
#include <dlgs.h>
#include <wincodec.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/win32/com_held.h"
#include "platform/vcl/win32/native.h"
#include "tests/ui/dialog_steps.h"
#include "tests/ui/facade_driver.h"
#include "tests/win32/pump_until.h"

namespace facade_driver {

namespace {

using vcl::win32::narrow;
using vcl::win32::widen;

void check(HRESULT result, const std::string& path, const char* step) {
    if (FAILED(result)) {
        throw std::runtime_error(path + ": " + step +
                                 " failed: " + vcl::win32::error_text(static_cast<DWORD>(result)));
    }
}

std::wstring class_of(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

std::wstring text_of(HWND hwnd) {
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

// EnumThreadWindows' callback (CALLBACK: stdcall on 32-bit Windows, which
// a lambda cannot be): collects the shown dialog windows (class #32770).
BOOL CALLBACK collect_shown_dialog(HWND hwnd, LPARAM list) {
    if (IsWindowVisible(hwnd) && class_of(hwnd) == L"#32770")
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

// The thread's dialog windows that are shown.
std::vector<HWND> shown_dialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), collect_shown_dialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The file name box of a file dialog: the edit of its name combo box (cmb13)
// where it has one, else its name edit (edt1); null for another dialog.
HWND name_box(HWND dialog) {
    if (HWND combo = GetDlgItem(dialog, cmb13)) {
        HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr);
        return edit != nullptr ? edit : combo;
    }
    return GetDlgItem(dialog, edt1);
}

// Clicks a dialog's button, as the mouse would, from the loop's next turn.
void press(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button != nullptr) {
        PostMessageW(button, BM_CLICK, 0, 0);
    } else {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
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
    vcl::win32::ComHeld<IWICImagingFactory> factory;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())),
          path, "making WIC");
    vcl::win32::ComHeld<IWICBitmapDecoder> decoder;
    check(factory->CreateDecoderFromFilename(widen(path).c_str(), nullptr, GENERIC_READ,
                                             WICDecodeMetadataCacheOnDemand, decoder.put()),
          path, "reading");
    GUID container{};
    check(decoder->GetContainerFormat(&container), path, "reading the format");
    if (!IsEqualGUID(container, GUID_ContainerFormatPng))
        throw std::runtime_error(path + ": not a PNG file");
    vcl::win32::ComHeld<IWICBitmapFrameDecode> frame;
    check(decoder->GetFrame(0, frame.put()), path, "reading the picture");
    vcl::win32::ComHeld<IWICFormatConverter> converter;
    check(factory->CreateFormatConverter(converter.put()), path, "making a converter");
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

namespace {

// The steps on the common save dialog, found among the thread's windows.
class Win32DialogSteps final : public DialogSteps {
  public:
    Win32DialogSteps(const std::string& title, std::optional<std::string> typed)
        : DialogSteps(std::move(typed)), title_(widen(title)) {}

  private:
    // The save dialog titled so: the one of that title with a file name box
    // (its question boxes have the same title).
    bool find_dialog() override {
        for (HWND hwnd : shown_dialogs()) {
            if (text_of(hwnd) == title_ && name_box(hwnd) != nullptr) {
                dialog_ = hwnd;
                return true;
            }
        }
        return false;
    }
    void give_up_on_others() override {
        for (HWND other : shown_dialogs()) {
            if (name_box(other) != nullptr) {
                dialog_ = other;
                give_up();
            }
        }
    }
    bool dialog_gone() const override { return dialog_ == nullptr || !IsWindow(dialog_); }
    std::string name_shown() const override { return narrow(text_of(name_box(dialog_)).c_str()); }
    std::string kind_shown() const override {
        HWND types = GetDlgItem(dialog_, cmb1);
        return types != nullptr ? narrow(text_of(types).c_str()) : std::string();
    }
    void save_as(const std::string& name) override {
        SendMessageW(name_box(dialog_), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(widen(name).c_str()));
        press(dialog_, IDOK);
    }
    void cancel() override { press(dialog_, IDCANCEL); }
    // A message box the dialog shows over itself.
    HWND shown_box() const {
        for (HWND hwnd : shown_dialogs()) {
            if (GetWindow(hwnd, GW_OWNER) == dialog_)
                return hwnd;
        }
        return nullptr;
    }
    std::optional<std::string> new_message_box() override {
        HWND box = shown_box();
        if (box == nullptr || box == box_)
            return std::nullopt;
        box_ = box;
        return narrow(text_of(GetDlgItem(box, 0xFFFF)).c_str());
    }
    bool box_has_yes() const override { return GetDlgItem(box_, IDYES) != nullptr; }
    void press_yes() override { press(box_, IDYES); }
    void close_box() override {
        if (HWND box = shown_box())
            press(box, GetDlgItem(box, IDNO) != nullptr ? IDNO : IDOK);
    }

    const std::wstring title_;
    HWND dialog_ = nullptr;
    HWND box_ = nullptr;
};

}  // namespace

std::unique_ptr<DialogSteps> dialog_steps(const std::string& title,
                                          std::optional<std::string> typed) {
    return std::make_unique<Win32DialogSteps>(title, std::move(typed));
}

}  // namespace facade_driver
