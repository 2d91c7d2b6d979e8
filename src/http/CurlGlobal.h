#pragma once

#include <QString>

// Initialises libcurl once for the process; safe to call from any thread, any number of times.
void EnsureCurlGlobalInit();

// Whether libcurl has a working TLS backend (the program cannot talk to the portal without one).
bool CurlHasTls();
