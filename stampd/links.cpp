// quellox-stampd-links: signed download links for a partner list, one per
// row, for the service to stamp at download time.
//
//   quellox-stampd-links --key FILE BASE_URL LIST
//
// LIST is the CSV file that `quellox-stamp batch` reads (a header row naming
// error_code, linker, cookie, partner, traffic, in any order). Each row is
// checked as the service checks a request, so that every link printed is one
// it serves; one refused row, and nothing is printed.
#include <cstdio>
#include <string>
#include <vector>

#include "startup/uSettingsRules.h"
#include "stampd/Attribution.h"

namespace {

enum Column { colErrorCode, colLinker, colCookie, colPartner, colTraffic, ColumnCount };
const char* const ColumnNames[ColumnCount] = {"error_code", "linker", "cookie", "partner", "traffic"};

int Usage() {
    std::fputs("usage: quellox-stampd-links --key FILE BASE_URL LIST\n"
               "BASE_URL: where the service is reached, e.g. https://download.maker.com/q\n"
               "LIST: CSV with a header row among error_code, linker, cookie, partner, traffic\n",
               stderr);
    return 2;
}

// Cells separated by commas; a cell in double quotes may hold commas, and ""
// stands for one quote in it.
bool SplitCells(const std::string& line, std::vector<std::string>& cells) {
    std::size_t at = 0;
    for (;;) {
        std::string cell;
        if (at < line.size() && line[at] == '"') {
            for (++at;; ++at) {
                if (at >= line.size()) return false;
                if (line[at] != '"') cell += line[at];
                else if (at + 1 < line.size() && line[at + 1] == '"') cell += line[at++];
                else break;
            }
            if (++at < line.size() && line[at] != ',') return false;
        } else {
            while (at < line.size() && line[at] != ',') cell += line[at++];
        }
        cells.push_back(cell);
        if (at >= line.size()) return true;
        ++at;
    }
}

std::wstring Widen(const std::string& text) { return {text.begin(), text.end()}; }
std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || std::string(argv[1]) != "--key") return Usage();
    std::string key, error;
    if (!stampd::ReadKeyFile(argv[2], key, error)) return std::fprintf(stderr, "quellox-stampd-links: %s\n", error.c_str()), 1;
    std::string base = argv[3];
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string listPath = argv[4];
    std::FILE* file = std::fopen(listPath.c_str(), "rb");
    if (file == nullptr) return std::fprintf(stderr, "quellox-stampd-links: %s: cannot be read\n", listPath.c_str()), 1;
    std::string text;
    char buffer[65536];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, read);
    std::fclose(file);
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);

    std::vector<int> columns;
    std::vector<std::string> links;
    bool ok = true;
    auto fault = [&](int line, const std::string& why) {
        std::fprintf(stderr, "quellox-stampd-links: %s:%d: %s\n", listPath.c_str(), line, why.c_str());
        ok = false;
    };
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
        if (!SplitCells(row, cells)) {
            fault(line, "a quoted cell is not closed, or text follows it");
            continue;
        }
        if (columns.empty()) {
            for (const std::string& cell : cells) {
                int column = 0;
                while (column < ColumnCount && cell != ColumnNames[column]) ++column;
                for (int seen : columns) if (seen == column) column = ColumnCount;
                if (column == ColumnCount) return fault(line, "unknown or repeated column \"" + cell + "\""), 1;
                columns.push_back(column);
            }
            continue;
        }
        if (cells.size() != columns.size()) {
            fault(line, std::to_string(cells.size()) + " cells, the header has " + std::to_string(columns.size()));
            continue;
        }
        std::string cell[ColumnCount];
        for (std::size_t i = 0; i < cells.size(); ++i) cell[columns[i]] = cells[i];

        // The link the service would read back exactly these values from.
        stampd::Attribution wanted;
        wanted.FileName = Narrow(rules::CopyFileName(Widen(cell[colErrorCode]), Widen(cell[colLinker])));
        for (int type = 0; type < consts::DataTypeCount; ++type) wanted.Values[type] = cell[colCookie + type];
        std::string target = stampd::LinkTarget(wanted);
        stampd::Attribution read;
        if (!stampd::ParseTarget(target, read, error)) {
            fault(line, error);
            continue;
        }
        if (read.ErrorCode != cell[colErrorCode] || read.Linker != cell[colLinker]) {
            fault(line, "the installer would read the error code \"" + read.ErrorCode + "\" and the linker value \"" +
                            read.Linker + "\" from " + wanted.FileName);
            continue;
        }
        std::string signature = stampd::Sign(key, stampd::CanonicalForm(read));
        links.push_back(base + target + (target.find('?') == std::string::npos ? "?" : "&") + "sig=" + signature);
    }
    if (columns.empty()) return std::fprintf(stderr, "quellox-stampd-links: %s: has no header row\n", listPath.c_str()), 1;
    if (!ok) return 1;
    for (const std::string& link : links) std::printf("%s\n", link.c_str());
    return 0;
}
