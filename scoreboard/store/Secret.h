// A new secret for a database's secrets table: 32 bytes from the system's
// random source, as hex text, so that both engines keep it as text.
#pragma once

#include <random>
#include <string>

namespace scoreboard {

inline std::string NewSecret() {
    std::random_device source;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string secret;
    for (int i = 0; i < 8; ++i) {
        const auto word = static_cast<std::uint32_t>(source());
        for (int shift = 28; shift >= 0; shift -= 4) secret += kHex[(word >> shift) & 0xf];
    }
    return secret;
}

}  // namespace scoreboard
