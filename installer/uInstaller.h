// Installer: the installation's run state, the window's progress handler,
// and the download of the setup program into its fixed file.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/Unique.h"
#include "platform/WinInet.h"

enum TInstallerState : LONG {
    Idle = 0,
    Working = 1,
    Stopping = 2,
    Stopped = 3,
    Installing = 4,
    Installed = 5,
};

// A method pointer: the handler and the object it belongs to. Set when the
// code part is not null.
struct TProgressHandler {
    void* Object = nullptr;
    void (*Code)(void* AObject, std::uint8_t APercent) = nullptr;
};

class Installer {
public:
    Installer() = delete;

    // Changed only by interlocked operations; read by plain loads.
    static inline std::atomic<LONG> State{Idle};
    static inline TProgressHandler OnProgress;

    // Brings the setup program into Globals::SetupFileName, continuing a
    // partial file. True when the file is complete.
    static bool Download();

    // The download's state, kept between its steps; nothing stays open
    // between calls of Download.
    static inline platform::UniqueInternet SessionHandle;
    static inline platform::UniqueInternet RequestHandle;
    static inline platform::UniqueFile FileHandle;
    static inline std::uint32_t BytesDone = 0;
    static inline std::uint32_t TotalSize = 0;
    static inline std::uint8_t Percent = 0;
    // The highest percentage reported in the process's life.
    static inline std::uint8_t LastPercent = 0;

private:
    static bool OpenSetupFile();
    static bool OpenRequest();
    static bool ReadChunk();
    static void CloseRequest();
    static void CloseSetupFile();
};
