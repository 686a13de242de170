#include "Random.h"

#include <sys/random.h>
#include <sys/types.h>

namespace platform {

void FillRandom(unsigned char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::getrandom(data + got, size - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        // getrandom only fails on interruption or before the kernel's pool
        // is ready, which is long past once a game runs; it retries.
    }
}

}  // namespace platform
