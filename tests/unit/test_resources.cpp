// The installer's resources: manifest, icon and version information, read
// from the built executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The built installer, loaded as data only.
class InstallerResources : public testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH] = {};
        ASSERT_NE(GetEnvironmentVariableW(L"QUELLOX_INSTALLER", path, MAX_PATH), 0u);
        module_ = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    std::string Resource(LPCWSTR name, LPCWSTR type) {
        HRSRC found = FindResourceW(module_, name, type);
        if (!found) return {};
        HGLOBAL loaded = LoadResource(module_, found);
        return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE Width, Height, ColorCount, Reserved;
    WORD Planes, BitCount;
    DWORD BytesInRes;
    WORD Id;
};
#pragma pack(pop)

}  // namespace

TEST_F(InstallerResources, ManifestAsksForElevationDpiAwarenessAndCommonControls6) {
    std::string manifest = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    for (const char* expected : {
             R"(<requestedExecutionLevel level="highestAvailable" uiAccess="false"/>)",
             R"(>True/PM</dpiAware>)",
             R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
         }) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
}

TEST_F(InstallerResources, ManifestNamesTheProcessorOfTheBuild) {
    // The installer's own identity and the common controls it asks for name
    // the processor the program runs as; no other value may appear.
    std::string manifest = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const std::string own = sizeof(void*) == 8 ? R"(processorArchitecture="amd64")" : R"(processorArchitecture="x86")";
    std::size_t count = 0;
    for (std::size_t at = manifest.find("processorArchitecture="); at != std::string::npos;
         at = manifest.find("processorArchitecture=", at + 1)) {
        EXPECT_EQ(manifest.compare(at, own.size(), own), 0) << manifest.substr(at, 40);
        ++count;
    }
    EXPECT_EQ(count, 2u);
}

TEST_F(InstallerResources, MainIconHasTheSizesOfEachDisplayScale) {
    std::string group = Resource(L"MAINICON", RT_GROUP_ICON);
    ASSERT_GE(group.size(), 6u);
    WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(count, 6);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry;
        memcpy(&entry, group.data() + 6 + i * sizeof(GroupIconEntry), sizeof(entry));
        sizes.push_back(entry.Width);
        EXPECT_FALSE(Resource(MAKEINTRESOURCEW(entry.Id), RT_ICON).empty());
    }
    // 256 px is written as 0.
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 0}));
    // The images are PNGs, which the system reads into icons of each size.
    for (int size : {16, 24, 32, 48, 64, 256}) {
        HICON icon = static_cast<HICON>(LoadImageW(module_, L"MAINICON", IMAGE_ICON, size, size, 0));
        EXPECT_NE(icon, nullptr) << size;
        if (icon != nullptr) DestroyIcon(icon);
    }
}

TEST_F(InstallerResources, EveryPictureOfTheWindowAtEachScale) {
    for (const wchar_t* name : {L"ICON_PRODUCT", L"BTN_IMAGE", L"LOGO_NORTON", L"LOGO_MICROSOFT"})
        for (const wchar_t* scale : {L"_100", L"_150", L"_200"}) {
            std::string png = Resource((std::wstring(name) + scale).c_str(), L"PNG");
            EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << std::wstring(name) + scale;
        }
}

TEST_F(InstallerResources, VersionInformationNamesTheProductAndItsMaker) {
    std::string data = Resource(MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_FALSE(data.empty());
    auto value = [&](const wchar_t* name) -> std::wstring {
        wchar_t* text = nullptr;
        UINT length = 0;
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &length)) return {};
        return text;
    };
    EXPECT_EQ(value(L"CompanyName"), L"Varnholt");
    EXPECT_EQ(value(L"ProductName"), L"Quellox");
    EXPECT_EQ(value(L"OriginalFilename"), L"QuelloxSetup.exe");
    EXPECT_EQ(value(L"FileVersion"), L"1.6.9.0");
}
