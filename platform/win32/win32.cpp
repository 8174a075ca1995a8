#include "platform/win32/win32.h"

#ifndef _WIN32

#include <algorithm>
#include <cctype>
#include <list>
#include <mutex>

namespace {

struct Module {
    std::string name;  // lower case
    win32::Exports exports;
};

// A list, so that a module's address (its HMODULE) stays valid while others come and go.
std::list<Module>& modules() {
    static std::list<Module> list;
    return list;
}

std::mutex& modules_lock() {
    static std::mutex lock;
    return lock;
}

thread_local DWORD last_error = ERROR_SUCCESS;
int cursor_count = 0;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

namespace win32 {

void register_module(std::string name, Exports exports) {
    std::lock_guard guard(modules_lock());
    auto& list = modules();
    name = lower(std::move(name));
    auto it =
        std::find_if(list.begin(), list.end(), [&](const Module& m) { return m.name == name; });
    if (exports.empty()) {
        if (it != list.end())
            list.erase(it);
        return;
    }
    if (it != list.end()) {
        it->exports = std::move(exports);
    } else {
        list.push_back({std::move(name), std::move(exports)});
    }
}

}  // namespace win32

HMODULE LoadLibraryA(const char* lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard guard(modules_lock());
    const std::string name = lower(lpLibFileName);
    for (Module& m : modules()) {
        if (m.name == name)
            return reinterpret_cast<HMODULE>(&m);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) {
    std::lock_guard guard(modules_lock());
    for (Module& m : modules()) {
        if (reinterpret_cast<HMODULE>(&m) != hModule)
            continue;
        if (lpProcName == nullptr)
            break;
        auto it = m.exports.find(std::string_view(lpProcName));
        if (it != m.exports.end() && it->second != nullptr)
            return it->second;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    SetLastError(hModule == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
}

DWORD GetLastError() {
    return last_error;
}

void SetLastError(DWORD dwErrCode) {
    last_error = dwErrCode;
}

// No pointer display count to raise on these platforms: the count is kept so
// that callers see the value Windows would return.
int ShowCursor(BOOL bShow) {
    return bShow ? ++cursor_count : --cursor_count;
}

#endif
