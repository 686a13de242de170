// Measurements on rendered stereo audio.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace mix {

struct Energy {
    double left = 0;
    double right = 0;
};

// Sum of squares per channel over interleaved stereo frames [from, to).
inline Energy Measure(const std::vector<float>& stereo, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    Energy e;
    to = std::min(to, stereo.size() / 2);
    for (std::size_t i = from; i < to; ++i) {
        e.left += double(stereo[2 * i]) * stereo[2 * i];
        e.right += double(stereo[2 * i + 1]) * stereo[2 * i + 1];
    }
    return e;
}

inline double Peak(const std::vector<float>& stereo) {
    double p = 0;
    for (float s : stereo) p = std::max(p, double(std::fabs(s)));
    return p;
}

}  // namespace mix
