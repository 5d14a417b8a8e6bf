// The partner list of `quellox-stamp batch`: a CSV text whose header names
// its columns, one copy per row. Pure: text in, rows and faults out.
#pragma once

#include <string>
#include <vector>

namespace partners {

enum Column { colErrorCode, colLinker, colCookie, colPartner, colTraffic, ColumnCount };
extern const char* const ColumnNames[ColumnCount];

struct Row {
    int Line = 0;
    std::string Cells[ColumnCount];
    std::string FileName;  // qlx_<error code>-setup_<linker value>.exe
};

// Reads the list's text (`listName` names it in the faults). Every fault is
// added as "listName:line: why" (or "listName: why"); the rows are usable
// only when there is none. With `distinctNames`, two rows that give the same
// file name (letter case ignored, as Windows does) are a fault: copies on
// disk; links may share a name.
void ReadList(std::string text, const std::string& listName, std::vector<Row>& rows, std::vector<std::string>& faults,
              bool distinctNames = true);

// A value as messages show it: in double quotes, other than printable ASCII
// as \xNN, so that a refused value is seen exactly.
std::string Quoted(const std::string& value);

std::string LowerCase(std::string text);

// Bytes as the stamping code's characters, and back (past ASCII as '?').
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace partners
