// Decoding of the window's PNG pictures (see uPictures.h). COM runs on the
// GUI thread from MainWindow.Init on; the imaging factory is made for each
// picture and released with it: a handful of pictures per layout.
#include "ui/uPictures.h"

#include <objbase.h>
#include <wincodec.h>

#include "platform/ComReference.h"
#include "platform/Strings.h"
#include "ui/uLayout.h"

namespace pictures {
namespace {

using platform::ComReference;

// Written out here: the import libraries of some toolchains name
// CLSID_WICImagingFactory for the factory of Windows 8, which Vista and 7
// do not have.
constexpr CLSID ImagingFactoryClass = {0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
constexpr IID ImagingFactoryInterface = {0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
// 32-bit BGR: the format every converter of the component makes from every
// PNG, palette ones included (24-bit BGR is not made from a palette by all).
constexpr GUID Format32bppBGR = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0e}};

}  // namespace

HBITMAP Load(const wchar_t* AName, int ADpi, int AWidth, int AHeight) {
    if (AWidth <= 0 || AHeight <= 0) return nullptr;
    std::wstring name = AName;
    name += L'_';
    platform::AppendDecimal(name, layout::ArtScale(ADpi));
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, name.c_str(), L"PNG");
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    auto* data = static_cast<BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    DWORD size = found != nullptr ? SizeofResource(module, found) : 0;
    if (data == nullptr || size == 0) return nullptr;

    ComReference<IWICImagingFactory> factory;
    ComReference<IWICStream> stream;
    ComReference<IWICBitmapDecoder> decoder;
    ComReference<IWICBitmapFrameDecode> frame;
    ComReference<IWICFormatConverter> converter;
    ComReference<IWICBitmapScaler> scaler;
    if (FAILED(CoCreateInstance(ImagingFactoryClass, nullptr, CLSCTX_INPROC_SERVER, ImagingFactoryInterface,
                                factory.putVoid())) ||
        FAILED(factory->CreateStream(stream.put())) || FAILED(stream->InitializeFromMemory(data, size)) ||
        FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                decoder.put())) ||
        FAILED(decoder->GetFrame(0, frame.put())) || FAILED(factory->CreateFormatConverter(converter.put())) ||
        FAILED(converter->Initialize(frame.get(), Format32bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)))
        return nullptr;
    IWICBitmapSource* source = converter.get();
    UINT width = 0, height = 0;
    if (FAILED(source->GetSize(&width, &height))) return nullptr;
    if (width != static_cast<UINT>(AWidth) || height != static_cast<UINT>(AHeight)) {
        // Between the drawn scales: the nearest larger picture, made
        // smaller with the imaging component's area-averaging filter.
        if (FAILED(factory->CreateBitmapScaler(scaler.put())) ||
            FAILED(scaler->Initialize(source, AWidth, AHeight, WICBitmapInterpolationModeFant)))
            return nullptr;
        source = scaler.get();
    }

    // Decoded as 32-bit pixels, kept as 24-bit ones: a static control of
    // the common controls' version 6 blends a 32-bit picture by its alpha
    // bytes, which this format leaves undefined.
    const UINT pixels = static_cast<UINT>(AWidth) * static_cast<UINT>(AHeight);
    auto* decoded = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, pixels * 4));
    if (decoded == nullptr) return nullptr;
    if (FAILED(source->CopyPixels(nullptr, static_cast<UINT>(AWidth) * 4, pixels * 4, decoded))) {
        HeapFree(GetProcessHeap(), 0, decoded);
        return nullptr;
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = AWidth;
    info.bmiHeader.biHeight = -AHeight;  // top-down, as the decoder writes
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const UINT stride = (static_cast<UINT>(AWidth) * 3 + 3) & ~3u;
    for (int y = 0; bitmap != nullptr && y < AHeight; ++y) {
        const BYTE* from = decoded + static_cast<UINT>(y) * static_cast<UINT>(AWidth) * 4;
        BYTE* to = static_cast<BYTE*>(bits) + static_cast<UINT>(y) * stride;
        for (int x = 0; x < AWidth; ++x, from += 4, to += 3) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
    HeapFree(GetProcessHeap(), 0, decoded);
    return bitmap;
}

}  // namespace pictures
