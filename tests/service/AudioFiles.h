// Sound files made on the spot for the service's tests.
#pragma once

#include "PosixShims.h"
#include "TempFolder.h"

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testfiles {

// One scratch folder for the whole program, gone when it exits.
inline std::filesystem::path TempDir() {
    static const testsupport::TempFolder kDir("corvane-test");
    return kDir.path();
}

// Writes interleaved float samples as a 16-bit WAV and returns its path.
inline std::string WriteWav(const std::string& name, const std::vector<float>& samples, int channels, int rate = 48000,
                            int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    const std::string path = (TempDir() / name).string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(f);
    return path;
}

// A mono sine of whole cycles, so it loops without a seam.
inline std::vector<float> Sine(int frames, double cyclesPerFrame = 1.0 / 48.0, float amplitude = 0.5f) {
    std::vector<float> s(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) s[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * cyclesPerFrame * i));
    return s;
}

// Mono white noise, the same every time. Two copies at different offsets
// are uncorrelated, so their energies add up.
inline std::vector<float> Noise(int frames, float amplitude = 0.3f) {
    std::vector<float> s(static_cast<std::size_t>(frames));
    std::uint32_t state = 12345;
    for (auto& v : s) {
        state = state * 1664525u + 1013904223u;
        v = amplitude * (static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f);
    }
    return s;
}

}  // namespace testfiles
