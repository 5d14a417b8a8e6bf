// quellox-stampd's access log, read back: the copies it served, for the
// funnel's "links served". One line a request:
//
//   TIME PEER METHOD "TARGET" STATUS BYTES MS sig=STATE name="…" cookie="…" partner="…" traffic="…"
//
// A served copy is a GET answered 200 with the whole copy (no "aborted="),
// whose link was signed (sig=valid or valid-old-key): only then does the copy
// carry the link's values. Other lines (refusals, ranges, unsigned links, the
// service's own notices) are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/collect/Store.h"

namespace collect {

// False when the line is not a served copy.
bool ParseServedLine(std::string_view line, ServedCopy& copy);

struct ImportReport {
    std::int64_t Lines = 0, Served = 0, Added = 0;
    std::int64_t From = 0, To = 0;  // byte positions
    bool Restarted = false;         // the file was replaced since the last import
};

// Imports the complete lines of `path` after the position stored for it, in
// transactions that store the copies and the new position together: an
// import stopped at any point resumes where its last commit ended, and a
// line is never counted twice (each copy is also keyed by its line). A file
// whose first line changed, or that is shorter than the position, was
// rotated: it is read from its start.
bool ImportLog(Store& store, const std::string& path, ImportReport& report, std::string& error);

}  // namespace collect
