#include "Random.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>

namespace platform {

void FillRandom(unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1U << 30));
        // The system's preferred generator; it does not fail with valid
        // arguments.
        BCryptGenRandom(nullptr, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        data += chunk;
        size -= chunk;
    }
}

}  // namespace platform
