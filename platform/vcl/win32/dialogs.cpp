// The save dialog over Win32: the common dialog (comdlg32's GetSaveFileName),
// modal over its owner form. Its own message loop runs while it is up, so the
// other windows go on drawing and the timers firing.
#include <windows.h>

#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/vcl/win32/native.h"

namespace vcl {

namespace {

// Room for the path the dialog answers: the longest path Windows knows.
constexpr std::size_t file_name_room = 32768;

}  // namespace

bool TSaveDialog::Execute() {
    // The filter's pairs parted by NULs, the list ended by two.
    std::wstring filter = win32::widen(Filter);
    std::replace(filter.begin(), filter.end(), L'|', L'\0');
    filter.push_back(L'\0');
    const std::wstring title = win32::widen(Title);
    std::wstring extension = win32::widen(DefaultExt);
    if (!extension.empty() && extension.front() == L'.')
        extension.erase(0, 1);
    std::vector<wchar_t> file(file_name_room, L'\0');
    const std::wstring proposed = win32::widen(FileName);
    if (proposed.size() >= file.size())
        throw Exception("the name proposed to the save dialog is too long: " + FileName);
    std::copy(proposed.begin(), proposed.end(), file.begin());

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner_ != nullptr ? owner_->native().hwnd : nullptr;
    dialog.lpstrFilter = Filter.empty() ? nullptr : filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = title.empty() ? nullptr : title.c_str();
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    // Replacing a file that exists is asked first; the process's current
    // folder stays where it was (log.txt is written there).
    dialog.Flags =
        OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_HIDEREADONLY;
    if (GetSaveFileNameW(&dialog)) {
        FileName = win32::narrow(file.data());
        return true;
    }
    const DWORD error = CommDlgExtendedError();
    if (error == 0)
        return false;  // cancelled
    char code[16];
    std::snprintf(code, sizeof code, "0x%04lX", static_cast<unsigned long>(error));
    throw Exception(std::string("the save dialog failed (common dialog error ") + code + ")");
}

}  // namespace vcl
