// Long WAV files written without writing every sample, for the suites and
// benchmarks that play an hour of sound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace testsupport {

// A 16-bit PCM WAV: a square tone over its first second, silence after it.
struct ToneWav {
    std::uint32_t rate;
    std::uint16_t channels;
    std::uint32_t frames;  // the whole file's
    std::uint32_t period;  // the tone's, in frames
    std::int16_t amplitude;
};

// Writes `wav` at `path`. The silence is only the file's length, so the file
// system keeps it sparse: an hour takes no time to write nor room on disk.
inline void WriteToneWav(const std::filesystem::path& path, const ToneWav& wav) {
    const std::uint32_t frameBytes = 2u * wav.channels;
    const std::uint32_t bytes = wav.frames * frameBytes;
    {
        std::ofstream out(path, std::ios::binary);
        auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
        auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
        out.write("RIFF", 4);
        u32(36 + bytes);
        out.write("WAVEfmt ", 8);
        u32(16);
        u16(1);  // PCM
        u16(wav.channels);
        u32(wav.rate);
        u32(wav.rate * frameBytes);
        u16(static_cast<std::uint16_t>(frameBytes));
        u16(16);
        out.write("data", 4);
        u32(bytes);
        for (std::uint32_t frame = 0; frame < std::min(wav.frames, wav.rate); ++frame) {
            const bool high = frame % wav.period < wav.period / 2;
            const auto sample = static_cast<std::uint16_t>(high ? wav.amplitude : -wav.amplitude);
            for (std::uint16_t channel = 0; channel < wav.channels; ++channel) u16(sample);
        }
    }
    std::filesystem::resize_file(path, 44 + bytes);
}

}  // namespace testsupport
