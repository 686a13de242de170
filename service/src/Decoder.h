// Decoding of sound files into memory.
#pragma once

#include <string>
#include <vector>

namespace Corvane::detail {

// The longest sound kept in memory. Ten minutes at the highest rate taken
// (192 kHz stereo float) is 0.9 GB, still within what OpenAL's buffer size
// (a signed int) can count; anything longer is refused, not cut.
inline constexpr int kMaxDecodedSeconds = 600;

struct DecodedAudio {
    int channels = 0;            // 1 or 2
    int sampleRate = 0;          // frames per second
    std::vector<float> samples;  // interleaved, -1..1
    long long Frames() const { return channels ? static_cast<long long>(samples.size()) / channels : 0; }
    int LengthMs() const { return sampleRate ? static_cast<int>(Frames() * 1000 / sampleRate) : 0; }
};

// Decodes a WAV or MP3 file. A name that does not exist as written is looked
// up case-insensitively, one path component at a time. On failure returns
// false and sets `error` to a short reason (without the file name). Never
// blocks on a pipe or device, never prints, never throws.
bool Decode(const std::string& fileName, DecodedAudio& out, std::string& error);

// Resolves `path` case-insensitively where it does not exist as written.
std::string ResolvePath(const std::string& path);

}  // namespace Corvane::detail
