// What the suites take from POSIX that the Windows C runtime lacks: setenv
// and unsetenv, and M_PI. Nothing on POSIX systems, where the real ones are
// used.
#pragma once

#ifdef _WIN32

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#ifndef M_PI
#define M_PI 3.14159265358979323846
#endif

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable from the runtime's copy and the
// process's environment block alike.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

#endif
