// Decoding of sound files into memory.
#pragma once

#include <memory>
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

// A WAV or MP3 file read a little at a time: what Decode reads whole, and
// what a long sound is streamed from.
class SoundReader {
public:
    // Opens a file after the same checks as Decode (never blocks on a pipe or
    // device, never prints, never throws), reading only its header. nullptr,
    // with the reason in `error`, when it cannot be played.
    static std::unique_ptr<SoundReader> Open(const std::string& fileName, std::string& error);
    virtual ~SoundReader() = default;

    int Channels() const { return channels_; }
    int SampleRate() const { return sampleRate_; }
    // The length its header announces, when that is believable for the
    // file's size (exact for WAV, and for MP3 with an encoder's length
    // header, as ours have); -1 when not known.
    long long AnnouncedFrames() const { return announcedFrames_; }

    // Decodes up to `frames` interleaved frames into `out`: the number read,
    // fewer only at the end, 0 at the end, -1 on a fault (`error` says what).
    virtual long long Read(float* out, long long frames, std::string& error) = 0;
    // Back to the first frame; false on a fault.
    virtual bool Rewind() = 0;

protected:
    int channels_ = 0;
    int sampleRate_ = 0;
    long long announcedFrames_ = -1;
};

// Resolves `path` case-insensitively where it does not exist as written.
std::string ResolvePath(const std::string& path);

}  // namespace Corvane::detail
