// PNG files through the Windows Imaging Component: the system's own encoder,
// made through COM (which the application has set up on the GUI thread).
#include <windows.h>

#include <wincodec.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/vcl/win32/com_held.h"
#include "platform/vcl/win32/native.h"

namespace vcl::win32 {

namespace {

// What went wrong on the way: the system's text for its code.
struct Failure {
    DWORD code;
};

void check(HRESULT result) {
    if (FAILED(result))
        throw Failure{static_cast<DWORD>(result)};
}

// The folder a path names its file in (".\" for a bare name), from its full form.
std::wstring folder_of(const std::wstring& path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        throw Failure{GetLastError()};
    std::wstring full(length, L'\0');
    wchar_t* name = nullptr;
    const DWORD got = GetFullPathNameW(path.c_str(), length, full.data(), &name);
    if (got == 0 || got >= length)
        throw Failure{GetLastError()};
    full.resize(name != nullptr ? static_cast<std::size_t>(name - full.data()) : got);
    return full;
}

void encode(const std::wstring& path, int width, int height, UINT stride,
            const std::vector<BYTE>& pixels) {
    vcl::win32::ComHeld<IWICImagingFactory> factory;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())));
    vcl::win32::ComHeld<IWICStream> stream;
    check(factory->CreateStream(stream.put()));
    check(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE));
    vcl::win32::ComHeld<IWICBitmapEncoder> encoder;
    check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put()));
    check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache));
    vcl::win32::ComHeld<IWICBitmapFrameEncode> frame;
    check(encoder->CreateNewFrame(frame.put(), nullptr));
    check(frame->Initialize(nullptr));
    check(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)));
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    check(frame->SetPixelFormat(&format));
    // The encoder names the format it takes instead when it does not take this one.
    if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
        throw Failure{static_cast<DWORD>(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT)};
    check(frame->WritePixels(static_cast<UINT>(height), stride, static_cast<UINT>(pixels.size()),
                             const_cast<BYTE*>(pixels.data())));
    check(frame->Commit());
    check(encoder->Commit());
    check(stream->Commit(STGC_DEFAULT));
}

}  // namespace

std::string error_text(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string said = length > 0 ? narrow(text, static_cast<int>(length)) : std::string();
    if (text != nullptr)
        LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
        said.pop_back();
    if (said.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "error 0x%08lX", static_cast<unsigned long>(code));
        said = number;
    }
    return said;
}

void write_png(const std::string& path, int width, int height, UINT stride,
               const std::vector<BYTE>& pixels) {
    const std::wstring target = widen(path);
    std::wstring written;
    try {
        // A file of its own beside the target (GetTempFileName makes it, so a
        // folder that is not there fails here), renamed over the target once
        // written whole.
        const std::wstring folder = folder_of(target);
        wchar_t temporary[MAX_PATH + 1] = {};
        if (GetTempFileNameW(folder.c_str(), L"png", 0, temporary) == 0)
            throw Failure{GetLastError()};
        written = temporary;
        encode(written, width, height, stride, pixels);
        if (!MoveFileExW(written.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            throw Failure{GetLastError()};
    } catch (const Failure& failure) {
        if (!written.empty())
            DeleteFileW(written.c_str());
        throw Exception("cannot save " + path + ": " + error_text(failure.code));
    }
}

}  // namespace vcl::win32
