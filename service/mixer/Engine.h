// The mixer behind Corvane: an OpenAL Soft loopback device rendered into an
// SDL2 audio callback, one OpenAL source per sound.
#pragma once

#include "mixer/AlObjects.h"
#include "output/CaptureWriter.h"
#include "Corvane.h"
#include "output/SdlOutput.h"
#include "common/Singleton.h"
#include "mixer/Stream.h"
#include "Files.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Corvane::detail {

constexpr int kMixRate = 48000;
constexpr int kMixChannels = 2;
// A sound card pulls 5 ms at a time, mixed in updates of 2.5 ms: OpenAL Soft
// spreads a pan or volume change over the update it lands in, so a change is
// complete 2.5 ms into the first block that carries it.
constexpr int kCallbackFrames = 240;
constexpr int kUpdateFrames = 120;
// SDL's dummy driver (no sound card: nothing is heard) paces itself by
// sleeping a block's length after each one, and falls 5-20% behind real time
// with 5 ms blocks; 10 ms blocks keep it within a few percent.
constexpr int kSilentCallbackFrames = 480;

// Decoded samples uploaded once into an OpenAL buffer, shared by every sound
// opened from the same file; freed when the last sound and the cache let go.
struct Buffer {
    AlBuffer id;
    int channels = 0;
    int lengthMs = 0;
    platform::FileVersion version;
};

// One sound's place in the mixer: a whole decoded buffer, or a stream. The
// sound data is declared first, so the source that plays it is given back
// before it.
struct Voice {
    std::shared_ptr<const Buffer> buffer;
    std::unique_ptr<Stream> stream;
    AlSource source;
    int slot = -1;

    int Channels() const { return buffer ? buffer->channels : stream ? stream->Channels() : 0; }
    // Gives back the source, then the sound data; the sound is empty after.
    void Empty() {
        if (stream && source) stream->Detach(source.Get());
        source.Reset();
        stream.reset();
        buffer.reset();
    }
};

class SpeechWorker;

struct EngineOptions {
    bool openOutput = true;  // false: no device; the caller pulls with Render
    int callbackFrames = 0;  // 0: as fits the device (see above)
    int updateFrames = kUpdateFrames;
    int streamAboveMs = kStreamAboveMs;  // longer sounds are streamed
};

class Engine {
public:
    static Engine& Get();

    bool Start(int slots, const EngineOptions& options);
    void Shutdown();
    bool Running();

    std::shared_ptr<Voice> Load(const std::string& fileName);
    // Takes the sound's last handle: stops it, or lets a short one-shot play
    // out (see Sound::Close), and gives back its source.
    void Release(std::shared_ptr<Voice> voice);
    void Play(const std::shared_ptr<Voice>& voice, int slot, bool loop, int pan, int volume);
    void Stop(Voice& voice);
    void SetPan(Voice& voice, int pan);
    void SetVolume(Voice& voice, int volume);
    int LengthMs(const Voice& voice);

    // Speech: cut off what is being said / play freshly synthesized speech.
    void StopSpeech();
    void PlaySpeech(const std::vector<std::int16_t>& samples, int rate);
    void Speak(std::int32_t number);
    bool WaitSpeechIdle(int timeoutMs);

    // Renders `frames` stereo frames of the mix into `out` and hands them to
    // the capture. Called by the output callback, or by tests without one;
    // calls from several threads take turns.
    void Render(float* out, int frames);
    // Refills every streamed sound's queue; the stream thread calls it every
    // 20 ms, tests that render by hand call it between blocks.
    void ServiceStreams();
    // Sees every rendered block right after it is mixed; nullptr for none.
    void ObserveRender(void (*observer)(const float*, int));

private:
    friend Engine& Singleton<Engine>();
    Engine();

    using Clock = std::chrono::steady_clock;
    // A closed sound still sounding: played out, or fading until `stopAt`.
    struct Closing {
        std::shared_ptr<Voice> voice;
        Clock::time_point stopAt;
    };
    // Everything that lives from Start to Shutdown, given back in the reverse
    // of this order: sounds, then the speech source, the cache, the context,
    // the device.
    struct Mixer {
        AlcDevice device;
        AlcContext context;
        std::map<std::string, std::shared_ptr<const Buffer>> cache;
        AlSource speechSource;
        AlBuffer speechBuffer;
        std::vector<std::weak_ptr<Voice>> slots;
        std::vector<std::weak_ptr<Voice>> voices;  // every sound handed out
        std::vector<Closing> closing;
        ~Mixer();
    };
    // The output is closed before the mixer it pulls from.
    struct Output {
        SdlAudio audio;
        SdlDevice device;
    };

    static void Callback(void* self, unsigned char* stream, int len);
    // The stream thread: keeps every streamed sound's queue filled.
    void RunStreams();
    void ServiceLocked();
    std::shared_ptr<Voice> OpenStream(const std::string& fileName, const std::string& path);
    bool OpenOutput(Output& output);
    void ApplyPan(const Voice& voice, int pan);
    void ReapClosing();
    bool Usable(const Voice& voice) const { return running_ && voice.source; }

    std::mutex mutex_;  // guards everything below; never taken by Render
    bool running_ = false;
    std::unique_ptr<Mixer> mixer_;
    std::unique_ptr<Output> output_;
    std::unique_ptr<SpeechWorker> speech_;
    std::condition_variable streamWake_;  // with mutex_
    std::thread streamer_;
    CaptureWriter capture_;
    // Read by Render on the audio thread; set while no output runs.
    std::atomic<ALCdevice*> renderDevice_{nullptr};
    std::atomic<int> updateFrames_{kUpdateFrames};
    int callbackFrames_ = 0;
    int streamAboveMs_ = kStreamAboveMs;
    std::atomic<void (*)(const float*, int)> observer_{nullptr};
    // One render at a time: OpenAL Soft 1.24 leaves its mix count odd after
    // two overlapping renders, and every later source call then spins
    // forever; the capture's ring takes one writer too. Only the output
    // callback takes it in the game, so it is never waited on there.
    std::mutex renderMutex_;
};

}  // namespace Corvane::detail
