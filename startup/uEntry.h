// The program's run, in its order of start and stop.
#pragma once

// Lets only administrators through, gathers the settings and texts, shows
// the window and runs it until it is gone, then ends the process with its
// exit code.
[[noreturn]] void RunInstaller();
