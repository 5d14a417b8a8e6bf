// What the download makes of the server's answer: continue the file, start
// it again, take it as complete, or refuse it; and the largest setup program
// it accepts. Pure: the answer's status and header texts in, a plan out.
#pragma once

#include <cstdint>
#include <string_view>

namespace resume {

// The largest setup program the download accepts, on disk or announced: a
// larger one is refused before a byte of it is written. It bounds the time
// the copy and the signature check take (a stop is not seen inside the
// check) and the disk a hostile server can fill.
constexpr std::uint32_t MaxSetupSize = 1024u * 1024u * 1024u;

enum class TAction {
    Refuse,    // the attempt fails; nothing is written
    Append,    // the body continues the bytes on disk
    Restart,   // the body is the whole file: the bytes on disk go first
    Complete,  // the bytes on disk are the whole file; there is no body
};

struct TPlan {
    TAction Action = TAction::Refuse;
    std::uint32_t TotalSize = 0;  // the whole file's size, bytes on disk included
};

// A decimal number of up to 19 digits and nothing else; false otherwise.
bool ParseDecimal(std::wstring_view AText, std::uint64_t& AValue);

// "bytes FIRST-LAST/TOTAL" (ASatisfied) or "bytes */TOTAL"; TOTAL may be "*"
// (AHasTotal false). False when the text is neither.
struct TContentRange {
    bool Satisfied = false;
    std::uint64_t First = 0;
    std::uint64_t Last = 0;
    bool HasTotal = false;
    std::uint64_t Total = 0;
};
bool ParseContentRange(std::wstring_view AText, TContentRange& ARange);

// The answer to a request for the file from byte ABytesOnDisk on (the whole
// file when 0), with its status and its Content-Length and Content-Range
// texts (empty when missing):
//   200 or 203: the whole file, which replaces the bytes on disk;
//   206: appended only when its range starts at ABytesOnDisk and runs to the
//        end of the file, whose total it names, the Content-Length its size;
//   416 with "bytes */N", N the bytes on disk: the file is complete;
//   anything else, or a file larger than MaxSetupSize: refused.
TPlan PlanAnswer(std::uint32_t ABytesOnDisk, std::uint32_t AStatus, std::wstring_view AContentLength,
                 std::wstring_view AContentRange);

// How much of the body one read takes: what has arrived (AAvailable), at
// most AChunk, and never past the announced length ATotalSize, since what a
// server sends beyond it is not the file's. 0 once ABytesDone reaches it.
std::uint32_t ReadSize(std::uint32_t AAvailable, std::uint32_t AChunk, std::uint32_t ABytesDone,
                       std::uint32_t ATotalSize);

}  // namespace resume
