// quellox-stamp: reads and writes the per-distribution values (campaign
// cookie, partner id, traffic id) in a signed installer's signature area,
// without breaking the signature.
//
//   quellox-stamp show FILE
//   quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]
//
// Values not given keep what the file has (or blanks). A refused file is
// left untouched: the stamped copy is written beside it and then moved over it.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"

namespace {

const char* const Names[consts::DataTypeCount] = {"cookie", "partner", "traffic"};

int Usage() {
    std::fprintf(stderr,
                 "usage: quellox-stamp show FILE\n"
                 "       quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]\n");
    return 2;
}

int Fail(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "quellox-stamp: %s: %s\n", path.c_str(), why.c_str());
    return 1;
}

bool ReadFile(const std::string& path, stamp::Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::uint8_t buffer[65536];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + read);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool WriteFile(const std::string& path, const stamp::Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);  // bytes past ASCII are refused later
    return wide;
}

int Show(const std::string& path) {
    stamp::Bytes bytes;
    if (!ReadFile(path, bytes)) return Fail(path, "cannot be read");
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    if (!block.IsValid) return Fail(path, "carries no parameter block");
    for (int type = 0; type < consts::DataTypeCount; ++type)
        std::printf("%s=%s\n", Names[type], Narrow(block.Data[type]).c_str());
    return 0;
}

int Set(const std::string& path, int argc, char** argv) {
    stamp::Bytes bytes;
    if (!ReadFile(path, bytes)) return Fail(path, "cannot be read");
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    std::wstring values[consts::DataTypeCount];
    if (block.IsValid)
        for (int type = 0; type < consts::DataTypeCount; ++type) values[type] = block.Data[type];

    for (int i = 0; i < argc; i += 2) {
        std::string option = argv[i];
        int type = option == "--cookie" ? dtCookie : option == "--partner" ? dtIdPartner
                                                   : option == "--traffic" ? dtIdTraffic
                                                                           : -1;
        if (type < 0 || i + 1 >= argc) return Usage();
        values[type] = Widen(argv[i + 1]);
        std::string why;
        if (!stamp::IsAcceptedValue(values[type], why)) return Fail(path, std::string(Names[type]) + " refused: " + why);
    }

    std::string error;
    if (!stamp::StampFile(bytes, values, error)) return Fail(path, error);
    std::string temporary = path + ".stamping";
    if (!WriteFile(temporary, bytes)) {
        std::filesystem::remove(temporary);
        return Fail(path, "cannot write " + temporary);
    }
    std::error_code replaced;
    std::filesystem::rename(temporary, path, replaced);
    if (replaced) {
        std::filesystem::remove(temporary);
        return Fail(path, "cannot be replaced: " + replaced.message());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "show") return Show(argv[2]);
    if (argc >= 3 && std::string(argv[1]) == "set") return Set(argv[2], argc - 3, argv + 3);
    return Usage();
}
