// A sound file read a little at a time, for sounds too long to hold decoded
// in memory (the music). Reads go through a buffer of our own, so the MP3
// decoder's many small reads cost no system calls.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

typedef struct sf_private_tag SNDFILE;

namespace Corvane::detail {

class StreamFile {
public:
    // Opens a regular WAV or MP3 file and reads its header only. nullptr
    // when the file is anything else; the full decoder then says why.
    static std::unique_ptr<StreamFile> Open(const std::string& path);
    ~StreamFile();
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    int Channels() const { return channels_; }
    int SampleRate() const { return sampleRate_; }
    // The length the header gives: exact for WAV, and for MP3 files with an
    // encoder's length header (as ours have); an estimate otherwise.
    long long Frames() const { return frames_; }

    // Decodes up to `frames` interleaved frames into `out`: the number read,
    // 0 at the end, -1 on a decoding fault (then `error` says what).
    long long Read(float* out, long long frames, std::string& error);
    // Back to the first frame; false on a fault.
    bool Rewind();

private:
    StreamFile() = default;

    std::FILE* file_ = nullptr;
    SNDFILE* sound_ = nullptr;
    int channels_ = 0;
    int sampleRate_ = 0;
    long long frames_ = 0;
};

}  // namespace Corvane::detail
