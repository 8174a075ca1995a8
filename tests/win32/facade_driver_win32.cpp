// The facade's tests' user on Win32: the notification a combo box sends its
// form when the user chooses an item, the common save dialog found among the
// thread's windows and driven through its controls by the messages a user's
// typing and clicks make, PNG files read by WIC.
#include <windows.h>

#include <commdlg.h>
#include <dlgs.h>
#include <wincodec.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/vcl/win32/com_held.h"
#include "platform/vcl/win32/native.h"
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

struct SaveDialogUser::Native {
    enum class Step { waiting, saving, cancelling, failed };

    Native(const std::string& title, std::optional<std::string> typed)
        : title(widen(title)), typed(std::move(typed)) {}

    // The save dialog titled so: the one of that title with a file name box
    // (its question boxes have the same title).
    HWND find_dialog() const {
        for (HWND hwnd : shown_dialogs()) {
            if (text_of(hwnd) == title && name_box(hwnd) != nullptr)
                return hwnd;
        }
        return nullptr;
    }
    // A message box the dialog shows over itself.
    HWND message_box() const {
        for (HWND hwnd : shown_dialogs()) {
            if (GetWindow(hwnd, GW_OWNER) == dialog)
                return hwnd;
        }
        return nullptr;
    }
    bool dialog_gone() const { return dialog == nullptr || !IsWindow(dialog); }

    // Closes what is up (a message box by its No or OK, the dialog by Cancel)
    // and marks the answer failed.
    void give_up() {
        step = Step::failed;
        if (dialog_gone())
            return;
        if (HWND box = message_box())
            press(box, GetDlgItem(box, IDNO) != nullptr ? IDNO : IDOK);
        press(dialog, IDCANCEL);
    }

    void tick() {
        const bool late = GetTickCount64() >= deadline;
        switch (step) {
            case Step::waiting:
                if (HWND found = find_dialog()) {
                    dialog = found;
                    proposed = narrow(text_of(name_box(found)).c_str());
                    if (HWND types = GetDlgItem(found, cmb1))
                        file_type = narrow(text_of(types).c_str());
                    if (typed) {
                        SendMessageW(name_box(found), WM_SETTEXT, 0,
                                     reinterpret_cast<LPARAM>(widen(*typed).c_str()));
                        press(found, IDOK);
                        step = Step::saving;
                    } else {
                        press(found, IDCANCEL);
                        step = Step::cancelling;
                    }
                } else if (late) {
                    // Some other dialog may hold Execute: every file dialog goes.
                    for (HWND other : shown_dialogs()) {
                        if (name_box(other) != nullptr) {
                            dialog = other;
                            give_up();
                        }
                    }
                    step = Step::failed;
                }
                break;
            case Step::saving:
            case Step::cancelling:
                if (dialog_gone())
                    return;  // answered: nothing more to do
                if (HWND box = message_box(); box != nullptr && box != answered_box) {
                    answered_box = box;
                    question = narrow(text_of(GetDlgItem(box, 0xFFFF)).c_str());
                    if (GetDlgItem(box, IDYES) != nullptr) {
                        press(box, IDYES);
                    } else {
                        give_up();
                    }
                } else if (late) {
                    give_up();
                }
                break;
            case Step::failed:
                return;
        }
        timer.start(10);
    }

    const std::wstring title;
    const std::optional<std::string> typed;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    Step step = Step::waiting;
    HWND dialog = nullptr;
    HWND answered_box = nullptr;
    std::string proposed;
    std::string file_type;
    std::string question;
    // Its WM_TIMER reaches it through the dialog's own message loop.
    vcl::Timer timer{[this] { tick(); }};
};

SaveDialogUser::SaveDialogUser(std::string title, std::optional<std::string> typed)
    : native_(std::make_unique<Native>(title, std::move(typed))) {
    native_->timer.start(0);
}

SaveDialogUser::~SaveDialogUser() = default;

bool SaveDialogUser::answered() const {
    const Native& n = *native_;
    return (n.step == Native::Step::saving || n.step == Native::Step::cancelling) &&
           n.dialog_gone();
}

std::string SaveDialogUser::proposed() const {
    return native_->proposed;
}

std::string SaveDialogUser::file_type() const {
    return native_->file_type;
}

std::string SaveDialogUser::question() const {
    return native_->question;
}

}  // namespace facade_driver
