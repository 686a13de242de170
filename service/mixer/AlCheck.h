// Every OpenAL call goes through AL_CHECK, so a failing call names itself.
#pragma once

#include <AL/al.h>

namespace Corvane::detail {
void ReportAlError(const char* file, int line, const char* expression);
}

#define AL_CHECK(expr)                                               \
    do {                                                             \
        expr;                                                        \
        ::Corvane::detail::ReportAlError(__FILE__, __LINE__, #expr); \
    } while (false)
