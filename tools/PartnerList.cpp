// The partner list of `quellox-stamp batch`: CSV cells, the header's
// columns, and the rules each row's values and file name must follow.
#include "tools/PartnerList.h"

#include <cstdio>
#include <map>
#include <string_view>

#include "startup/uSettingsRules.h"
#include "startup/uStamp.h"

namespace partners {

const char* const ColumnNames[ColumnCount] = {"error_code", "linker", "cookie", "partner", "traffic"};

namespace {

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

// Checks one row's cells; the reason is empty when they are accepted.
std::string RowFault(Row& row) {
    bool allEmpty = true;
    for (const std::string& cell : row.Cells) allEmpty = allEmpty && cell.empty();
    if (allEmpty) return "every cell of the row is empty (a spreadsheet's trailing row?); remove it";
    for (int column = 0; column < ColumnCount; ++column) {
        std::string why;
        if (!stamp::IsAcceptedValue(Widen(row.Cells[column]), why))
            return std::string(ColumnNames[column]) + " " + Quoted(row.Cells[column]) + " refused: " + why;
    }
    for (int column : {colErrorCode, colLinker}) {
        // No character that a Windows file name cannot hold; the value rules
        // already keep out control characters, double quotes and backslashes.
        std::size_t bad = row.Cells[column].find_first_of(Narrow(std::wstring(rules::NotInFileNames)));
        if (bad != std::string::npos)
            return std::string(ColumnNames[column]) + " " + Quoted(row.Cells[column]) + " refused: \"" +
                   row.Cells[column][bad] + "\" cannot stand in a file name";
    }
    row.FileName = Narrow(rules::CopyFileName(Widen(row.Cells[colErrorCode]), Widen(row.Cells[colLinker])));
    std::wstring name = Widen(row.FileName);
    std::string readBack[] = {Narrow(rules::ReadFileNameErrorCode(name)), Narrow(rules::ReadFileNameGAParam(name))};
    for (int column : {colErrorCode, colLinker}) {
        if (readBack[column] != row.Cells[column])
            return std::string(ColumnNames[column]) + " " + Quoted(row.Cells[column]) + " refused: the installer reads " +
                   Quoted(readBack[column]) + " from the file name " + Quoted(row.FileName) +
                   " (an error code cannot hold \"-setup\", a linker value no blank)";
    }
    return {};
}

}  // namespace

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

std::string LowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);  // bytes past ASCII are refused by the value rules
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

void ReadList(std::string text, const std::string& listName, std::vector<Row>& rows, std::vector<std::string>& faults,
              bool distinctNames) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a spreadsheet's UTF-8 mark

    std::size_t faultsBefore = faults.size();
    auto fault = [&](int line, const std::string& why) {
        faults.push_back(listName + ":" + std::to_string(line) + ": " + why);
    };
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
            if (columns.empty()) return;
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
        Row entry;
        entry.Line = line;
        for (std::size_t i = 0; i < cells.size(); ++i) entry.Cells[columns[i]] = cells[i];
        std::string rowFault = RowFault(entry);
        if (!rowFault.empty()) {
            fault(line, rowFault);
            continue;
        }
        // Windows file names ignore letter case: two such names are one file there.
        auto [other, added] = lineOfName.emplace(LowerCase(entry.FileName), line);
        if (distinctNames && !added) {
            fault(line, "the file name " + Quoted(entry.FileName) + " is also that of line " +
                            std::to_string(other->second));
            continue;
        }
        rows.push_back(std::move(entry));
    }
    if (columns.empty()) return faults.push_back(listName + ": has no header row");
    if (faults.size() == faultsBefore && rows.empty()) faults.push_back(listName + ": has no rows after its header");
}

}  // namespace partners
