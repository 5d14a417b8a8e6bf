// TSignaturePatcher: reads the three per-distribution values stamped into a
// file's signature area.
#pragma once

#include <string>

#include "startup/uConsts.h"

class TSignaturePatcher {
public:
    // Reads the block of AFileName at once. A missing or unusable file leaves
    // IsValid false; an existing file that cannot be opened raises the system
    // error to the process-wide handler.
    explicit TSignaturePatcher(std::wstring AFileName);

    // The value as read and trimmed; look at IsValid first.
    const std::wstring& GetData(TDataType AIndex) const { return FData[AIndex]; }
    bool IsValid() const { return FIsValid; }

    // The writing side: SetData changes a value in memory, UpdateFile stamps
    // the three values into the file (see uStamp.h). UpdateFile leaves the
    // file untouched when it refuses, and returns false then.
    void SetData(TDataType AIndex, const std::wstring& AValue) { FData[AIndex] = AValue; }
    bool UpdateFile();

private:
    void ReadData();

    std::wstring FFileName;
    bool FIsValid = false;
    std::wstring FData[consts::DataTypeCount];
};
