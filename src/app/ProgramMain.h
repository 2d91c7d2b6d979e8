#pragma once

// The whole program: the window, or with --headless a run without one (see CommandLine).
// Returns the process's exit code.
int ProgramMain(int argc, char** argv);
