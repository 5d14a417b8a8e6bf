// quellox-stamp: reads and writes the per-distribution values (campaign
// cookie, partner id, traffic id) in a signed installer's signature area,
// without breaking the signature, and makes a whole release of named copies.
//
//   quellox-stamp show FILE
//   quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]
//   quellox-stamp batch INSTALLER LIST OUTDIR
//
// `set`: values not given keep what the file has (or blanks). A refused file
// is left untouched: the stamped copy is written beside it and then moved
// over it.
// `batch`: LIST is a CSV file whose header names its columns (error_code,
// linker, cookie, partner, traffic); each row becomes a stamped copy of
// INSTALLER named qlx_<error_code>-setup_<linker>.exe in OUTDIR. Every row is
// checked before anything is written: one bad row, and no copy is made.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "startup/uSettingsRules.h"
#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"

namespace {

namespace fs = std::filesystem;

const char* const Names[consts::DataTypeCount] = {"cookie", "partner", "traffic"};

const char* const UsageText =
    "usage: quellox-stamp show FILE\n"
    "       quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]\n"
    "       quellox-stamp batch INSTALLER LIST OUTDIR\n"
    "\n"
    "batch: LIST is a CSV file with a header row naming its columns, among\n"
    "error_code, linker, cookie, partner and traffic (a missing column is empty).\n"
    "Each row gives one stamped copy of INSTALLER in OUTDIR, named\n"
    "qlx_<error_code>-setup_<linker>.exe (qlx-setup_<linker>.exe without an error\n"
    "code, qlx_<error_code>-setup.exe without a linker value). Nothing is written\n"
    "when any row is refused, and no existing file is replaced.\n";

int Usage(std::FILE* to) {
    std::fputs(UsageText, to);
    return 2;
}

int Fail(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "quellox-stamp: %s: %s\n", path.c_str(), why.c_str());
    return 1;
}

bool Refuse(const std::string& path, const std::string& why) {
    Fail(path, why);
    return false;
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

// A value as messages show it: in double quotes, other than printable ASCII
// as \xNN, so that a refused value is seen exactly.
std::string Quoted(const std::string& value) {
    std::string text = "\"";
    for (unsigned char c : value) {
        if (c >= 0x20 && c <= 0x7E) {
            text += static_cast<char>(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
        text += escaped;
    }
    return text + "\"";
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
    std::wstring given[consts::DataTypeCount];
    bool isGiven[consts::DataTypeCount] = {};
    for (int i = 0; i < argc; i += 2) {
        std::string option = argv[i];
        int type = option == "--cookie" ? dtCookie : option == "--partner" ? dtIdPartner
                                                   : option == "--traffic" ? dtIdTraffic
                                                                           : -1;
        if (type < 0 || i + 1 >= argc) return Usage(stderr);
        given[type] = Widen(argv[i + 1]);
        isGiven[type] = true;
        std::string why;
        if (!stamp::IsAcceptedValue(given[type], why))
            return Fail(path, std::string(Names[type]) + " " + Quoted(argv[i + 1]) + " refused: " + why);
    }

    stamp::Bytes bytes;
    if (!ReadFile(path, bytes)) return Fail(path, "cannot be read");
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    std::wstring values[consts::DataTypeCount];
    for (int type = 0; type < consts::DataTypeCount; ++type)
        values[type] = isGiven[type] ? given[type] : block.IsValid ? block.Data[type] : std::wstring();

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

// ---- batch ----

enum Column { colErrorCode, colLinker, colCookie, colPartner, colTraffic, ColumnCount };
const char* const ColumnNames[ColumnCount] = {"error_code", "linker", "cookie", "partner", "traffic"};
// Characters that no Windows file name may hold; the value rules already keep
// out control characters, double quotes and backslashes.
constexpr std::string_view NotInFileNames = "<>:/|?*";

struct Copy {
    int Line = 0;
    std::string Cells[ColumnCount];
    std::string FileName;
    stamp::Bytes Bytes;
};

// One CSV line into cells: commas separate them; a cell in double quotes may
// hold commas, and "" in it stands for one quote.
bool SplitCells(const std::string& line, std::vector<std::string>& cells, std::string& why) {
    std::size_t at = 0;
    for (;;) {
        std::string cell;
        if (at < line.size() && line[at] == '"') {
            for (++at;; ++at) {
                if (at >= line.size()) return why = "a quoted cell has no closing quote", false;
                if (line[at] != '"') {
                    cell += line[at];
                } else if (at + 1 < line.size() && line[at + 1] == '"') {
                    cell += '"';
                    ++at;
                } else {
                    break;
                }
            }
            ++at;
            if (at < line.size() && line[at] != ',') return why = "text follows a quoted cell", false;
        } else {
            while (at < line.size() && line[at] != ',') cell += line[at++];
        }
        cells.push_back(cell);
        if (at >= line.size()) return true;
        ++at;
    }
}

// The copy's file name, as the installer's file-name rules read it back:
// qlx_<error code>-setup_<linker value>.exe, each part left out when empty.
std::string CopyFileName(const std::string& errorCode, const std::string& linker) {
    std::string name = errorCode.empty() ? "qlx-setup" : "qlx_" + errorCode + "-setup";
    if (!linker.empty()) name += "_" + linker;
    return name + ".exe";
}

std::string LowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Checks one row's cells; the reason is empty when they are accepted.
std::string RowFault(Copy& copy) {
    for (int column = 0; column < ColumnCount; ++column) {
        std::string why;
        if (!stamp::IsAcceptedValue(Widen(copy.Cells[column]), why))
            return std::string(ColumnNames[column]) + " " + Quoted(copy.Cells[column]) + " refused: " + why;
    }
    for (int column : {colErrorCode, colLinker}) {
        std::size_t bad = copy.Cells[column].find_first_of(NotInFileNames);
        if (bad != std::string::npos)
            return std::string(ColumnNames[column]) + " " + Quoted(copy.Cells[column]) + " refused: \"" +
                   copy.Cells[column][bad] + "\" cannot stand in a file name";
    }
    copy.FileName = CopyFileName(copy.Cells[colErrorCode], copy.Cells[colLinker]);
    std::wstring name = Widen(copy.FileName);
    std::string readBack[] = {Narrow(rules::ReadFileNameErrorCode(name)), Narrow(rules::ReadFileNameGAParam(name))};
    for (int column : {colErrorCode, colLinker}) {
        if (readBack[column] != copy.Cells[column])
            return std::string(ColumnNames[column]) + " " + Quoted(copy.Cells[column]) + " refused: the installer reads " +
                   Quoted(readBack[column]) + " from the file name " + Quoted(copy.FileName) +
                   " (an error code cannot hold \"-setup\", a linker value no blank)";
    }
    return {};
}

// Reads LIST into copies; prints every fault with its line and returns false
// when there is any.
bool ReadList(const std::string& listPath, std::vector<Copy>& copies) {
    stamp::Bytes bytes;
    if (!ReadFile(listPath, bytes)) return Refuse(listPath, "cannot be read");
    std::string text(bytes.begin(), bytes.end());
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a spreadsheet's UTF-8 mark

    bool ok = true;
    auto fault = [&](int line, const std::string& why) { return ok = Refuse(listPath + ":" + std::to_string(line), why); };
    std::vector<int> columns;  // Column of each cell
    std::map<std::string, int> lineOfName;
    int line = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string row = text.substr(start, end - start);
        start = end + 1;
        ++line;
        if (!row.empty() && row.back() == '\r') row.pop_back();
        if (row.empty()) continue;

        std::vector<std::string> cells;
        std::string why;
        if (!SplitCells(row, cells, why)) {
            fault(line, why);
            if (columns.empty()) return false;
            continue;
        }
        if (columns.empty()) {
            bool seen[ColumnCount] = {};
            for (const std::string& cell : cells) {
                int column = 0;
                while (column < ColumnCount && cell != ColumnNames[column]) ++column;
                if (column == ColumnCount)
                    return fault(line, "unknown column " + Quoted(cell) +
                                           " (the columns are error_code, linker, cookie, partner, traffic)");
                if (seen[column]) return fault(line, "column " + Quoted(cell) + " appears twice");
                seen[column] = true;
                columns.push_back(column);
            }
            continue;
        }
        if (cells.size() != columns.size()) {
            fault(line, std::to_string(cells.size()) + (cells.size() == 1 ? " cell" : " cells") + " in " +
                            Quoted(row) + ", the header has " + std::to_string(columns.size()));
            continue;
        }
        Copy copy;
        copy.Line = line;
        for (std::size_t i = 0; i < cells.size(); ++i) copy.Cells[columns[i]] = cells[i];
        std::string rowFault = RowFault(copy);
        if (!rowFault.empty()) {
            fault(line, rowFault);
            continue;
        }
        // Windows file names ignore letter case: two such names are one file there.
        auto [other, added] = lineOfName.emplace(LowerCase(copy.FileName), line);
        if (!added) {
            fault(line, "the file name " + Quoted(copy.FileName) + " is also that of line " +
                            std::to_string(other->second));
            continue;
        }
        copies.push_back(std::move(copy));
    }
    if (columns.empty()) return Refuse(listPath, "has no header row");
    if (ok && copies.empty()) return Refuse(listPath, "has no rows after its header");
    return ok;
}

// Removes what a failed batch wrote.
void RemoveAll(const std::vector<std::string>& paths) {
    std::error_code ignored;
    for (const std::string& path : paths) fs::remove(path, ignored);
}

int Batch(const std::string& installerPath, const std::string& listPath, const std::string& outDir) {
    std::vector<Copy> copies;
    if (!ReadList(listPath, copies)) return 1;

    std::error_code error;
    if (fs::exists(outDir, error) && !fs::is_directory(outDir, error)) return Fail(outDir, "is not a folder");
    bool ok = true;
    for (const Copy& copy : copies) {
        fs::path target = fs::path(outDir) / copy.FileName;
        if (fs::exists(fs::symlink_status(target, error))) {
            Fail(listPath + ":" + std::to_string(copy.Line),
                 target.string() + " already exists and is not replaced; remove it or choose another folder");
            ok = false;
        }
    }
    if (!ok) return 1;

    stamp::Bytes installer;
    if (!ReadFile(installerPath, installer)) return Fail(installerPath, "cannot be read");
    for (Copy& copy : copies) {
        copy.Bytes = installer;
        std::wstring values[consts::DataTypeCount] = {Widen(copy.Cells[colCookie]), Widen(copy.Cells[colPartner]),
                                                      Widen(copy.Cells[colTraffic])};
        std::string why;
        if (!stamp::StampFile(copy.Bytes, values, why))
            return Fail(installerPath, why + " (for line " + std::to_string(copy.Line) + ")");
    }

    // Every copy is written under a temporary name first, then all are moved
    // into place; any failure removes whatever this run wrote.
    fs::create_directories(outDir, error);
    if (error) return Fail(outDir, "cannot be created: " + error.message());
    std::vector<std::string> written;
    for (const Copy& copy : copies) {
        std::string temporary = (fs::path(outDir) / (copy.FileName + ".stamping")).string();
        written.push_back(temporary);
        if (!WriteFile(temporary, copy.Bytes)) {
            RemoveAll(written);
            return Fail(temporary, "cannot be written");
        }
    }
    std::vector<std::string> finals;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        fs::path target = fs::path(outDir) / copies[i].FileName;
        // Checked again: a file may have appeared since the first look.
        if (fs::exists(fs::symlink_status(target, error))) error = std::make_error_code(std::errc::file_exists);
        else fs::rename(written[i], target, error);
        if (error) {
            RemoveAll(written);
            RemoveAll(finals);
            return Fail(target.string(), "cannot be written: " + error.message());
        }
        finals.push_back(target.string());
    }

    // Each copy read back from disk, its values from its signature block and
    // its file name, as the installer reads them.
    for (std::size_t i = 0; i < copies.size(); ++i) {
        const Copy& copy = copies[i];
        stamp::Bytes bytes;
        TSignatureBlock block;
        if (ReadFile(finals[i], bytes)) block = ScanSignatureBlock(bytes.data(), bytes.size());
        std::wstring name = Widen(copy.FileName);
        std::string read[ColumnCount] = {Narrow(rules::ReadFileNameErrorCode(name)),
                                         Narrow(rules::ReadFileNameGAParam(name)), Narrow(block.Data[dtCookie]),
                                         Narrow(block.Data[dtIdPartner]), Narrow(block.Data[dtIdTraffic])};
        for (int column = 0; column < ColumnCount; ++column) {
            if (block.IsValid && read[column] == copy.Cells[column]) continue;
            RemoveAll(finals);
            return Fail(finals[i], std::string("reads back ") + ColumnNames[column] + " " + Quoted(read[column]) +
                                       " instead of " + Quoted(copy.Cells[column]) + "; nothing was kept");
        }
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
        std::string line = finals[i];
        for (int column = 0; column < ColumnCount; ++column)
            line += std::string(" ") + ColumnNames[column] + "=" + Quoted(copies[i].Cells[column]);
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string verb = argc >= 2 ? argv[1] : "";
    if (verb == "--help" || verb == "-h" || verb == "help") return Usage(stdout);
    if (verb == "show" && argc == 3) return Show(argv[2]);
    if (verb == "set" && argc >= 3) return Set(argv[2], argc - 3, argv + 3);
    if (verb == "batch" && argc == 5) return Batch(argv[2], argv[3], argv[4]);
    return Usage(stderr);
}
