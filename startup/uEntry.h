// The program's run, in its order of start and stop.
#pragma once

// Lets only administrators through, gathers the settings and texts, shows
// the window and runs it until it is gone. Returns the exit code.
int RunInstaller();
