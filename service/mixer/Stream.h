// A long sound played from a short queue of OpenAL buffers, refilled as the
// mixer uses them up; looping restarts the file at its end, so the seam is
// sample-exact. Every call is made under the engine's lock.
#pragma once

#include "decoding/Decoder.h"
#include "mixer/AlObjects.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace Corvane::detail {

// Sounds longer than this are streamed; shorter ones are decoded whole.
constexpr int kStreamAboveMs = 10000;

class Stream {
public:
    // Takes the file and makes its buffers; false when OpenAL has none.
    bool Start(std::unique_ptr<SoundReader> file, std::string name);

    int Channels() const { return file_->Channels(); }
    // Played, and neither stopped, ended nor paused (it may have run dry
    // for a moment).
    bool Playing() const { return active_ && !paused_; }
    int LengthMs() const;

    // Plays from the start on `source`: stops it, queues the first stretch
    // and starts it. The rest is queued by Service.
    void Play(ALuint source, bool loop);
    void Stop(ALuint source);
    // Holds the source where it is, queue and all, until Resume; a paused
    // stream is refilled but never restarted by Service.
    void Pause(ALuint source);
    void Resume(ALuint source);
    // Refills what the mixer has used up, and restarts a source that ran dry.
    // Returns true while the sound still needs service.
    bool Service(ALuint source);
    // Takes the queue off the source before it is given back.
    void Detach(ALuint source);

private:
    // Decodes the next stretch into `buffer`; false at the end of a sound
    // played once, or on a fault (said in one line, and the sound ends).
    bool Fill(ALuint buffer);
    // Fills and queues up to `most` idle buffers; true if any was queued.
    bool QueueIdle(ALuint source, std::size_t most);

    static constexpr int kBuffers = 4;
    static constexpr int kChunkFrames = 4096;  // under 0.1 s at 44.1 kHz

    std::unique_ptr<SoundReader> file_;
    std::string name_;
    std::array<AlBuffer, kBuffers> buffers_;
    std::vector<ALuint> idle_;  // buffers not queued on the source
    std::vector<float> scratch_;
    bool loop_ = false;
    bool active_ = false;  // played and not stopped or ended
    bool atEnd_ = false;   // played once and decoded to its end
    bool paused_ = false;  // active, and held where it is
};

}  // namespace Corvane::detail
