#pragma once

#include <QString>

// Initialises libcurl once for the process; safe to call from any thread, any number of times.
void EnsureCurlGlobalInit();

// Whether libcurl has a working TLS backend (the program cannot talk to the portal without one).
bool CurlHasTls();

// Frees the TLS library's per-thread state of the calling thread. A thread that used an
// HttpClient calls this last thing in its run(): the library would otherwise free that state
// only when the OS thread exits, which happens after QThread::wait() has returned, so a process
// that ends right then looks as if it leaked. The thread may still use TLS afterwards.
void ReleaseThreadTlsState();
