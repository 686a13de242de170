// The mixer behind Corvane: an OpenAL Soft loopback device (Loopback.h)
// rendered into the sound card's callback (output/), one OpenAL source per
// sound (Voices.h). The engine owns them, their threads and the one lock
// they are used under.
#pragma once

#include "common/Singleton.h"
#include "mixer/Loopback.h"
#include "mixer/Voices.h"
#include "output/AudioOutput.h"
#include "output/CaptureWriter.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Corvane::detail {

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
    // Fades the sound out, then holds it where it is (see FinishPauses).
    void Pause(const std::shared_ptr<Voice>& voice);
    void Resume(Voice& voice);
    void SetPan(Voice& voice, int pan);
    void SetVolume(Voice& voice, int volume);
    void SetGroup(Voice& voice, Group group);
    void SetPitch(Voice& voice, int cents);
    void SetSpoken(Voice& voice, bool spoken);
    // Decibels the Music group steps down by while speech plays; kept while
    // not running.
    void SetDuck(int decibels);
    // Percent 0..100 of every sound in `group`; kept while not running.
    void SetGroupVolume(Group group, int percent);
    int LengthMs(const Voice& voice);

    // Speech: cut off what is being said / play freshly synthesized speech.
    void StopSpeech();
    void PlaySpeech(const std::vector<std::int16_t>& samples, int rate);
    void Speak(const std::string& text);
    bool WaitSpeechIdle(int timeoutMs);
    // Kept for every speech thread from now on.
    void SetSpeechVoice(int wordsPerMinute, const std::string& voice);
    void SetScreenReader(bool on);

    // How the mix reaches the ears (see Corvane.h); kept while not running.
    void SetOneEar(bool on);
    bool SetHeadphones(bool on);

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

    // Everything that lives from Start to Shutdown, given back in the reverse
    // of this order: sounds and their buffers, then the speech source and
    // buffer, the context, the device.
    struct Mixer {
        explicit Mixer(int slots) : voices(slots) {}
        Loopback loopback;
        AlBuffer speechBuffer;
        AlSource speechSource;
        VoiceTable voices;
    };

    static void Callback(void* self, unsigned char* stream, int len);
    // The stream thread: keeps every streamed sound's queue filled.
    void RunStreams();
    void ServiceLocked();
    std::shared_ptr<Voice> OpenStream(const std::string& fileName, const std::string& path);
    std::shared_ptr<const Buffer> DecodeToBuffer(const std::string& fileName, const std::string& path,
                                                 const platform::FileVersion& version);
    // Says that OpenAL has no source for another sound; nullptr.
    static std::shared_ptr<Voice> NoSourceLeft(const std::string& fileName);
    bool Usable(const Voice& voice) const { return running_ && voice.source; }
    // The voice's gain: its volume scaled by its group's, and music's by
    // how far it is ducked.
    void ApplyGain(const Voice& voice);
    // Moves the music's duck towards down while speech sounds, up when not,
    // by as much as the frames rendered since the last call allow.
    void UpdateDuck();
    bool SpeechSounding();
    // Pauses the sounds whose fade has been mixed.
    void FinishPauses();
    // Forgets the pause under way of `voice`, played, stopped or resumed.
    void ForgetPause(const Voice& voice);

    std::mutex mutex_;  // guards everything below; never taken by Render
    bool running_ = false;
    std::unique_ptr<Mixer> mixer_;
    std::unique_ptr<AudioOutput> output_;
    std::unique_ptr<SpeechWorker> speech_;
    std::condition_variable streamWake_;  // with mutex_
    std::thread streamer_;
    CaptureWriter capture_;
    // Read by Render on the audio thread; set while no output runs.
    std::atomic<ALCdevice*> renderDevice_{nullptr};
    std::atomic<int> updateFrames_{kUpdateFrames};
    int callbackFrames_ = 0;
    int streamAboveMs_ = kStreamAboveMs;
    std::array<float, 3> groupGain_{1.0f, 1.0f, 1.0f};  // by Group, 0..1
    int speechRate_ = 0;                                // words per minute; 0 for eSpeak NG's own
    std::string speechVoice_;                           // "" for English
    bool screenReader_ = false;                         // speech through the player's screen reader
    std::atomic<void (*)(const float*, int)> observer_{nullptr};
    std::atomic<bool> oneEar_{false};  // read by Render
    // Ducking: the ramp moves with the frames rendered, so it lasts as long
    // in the mix whether a sound card or a test pulls it.
    int duckDecibels_ = 0;
    float duckLevel_ = 0.0f;  // 0 up .. 1 fully down
    std::atomic<std::int64_t> renderedFrames_{0};
    std::atomic<std::int64_t> renders_{0};
    // Sounds fading out to be paused, with the mix's count when they began.
    struct Pausing {
        std::weak_ptr<Voice> voice;
        std::int64_t renders;
        std::int64_t frames;
    };
    std::vector<Pausing> pausing_;
    std::int64_t duckSeenFrames_ = 0;
    std::int64_t readerUntilFrame_ = 0;  // the screen reader is taken to speak until then
    bool headphones_ = false;
    // One render at a time: OpenAL Soft 1.24 leaves its mix count odd after
    // two overlapping renders, and every later source call then spins
    // forever; the capture's ring takes one writer too. Only the output
    // callback takes it in the game, so it is never waited on there.
    std::mutex renderMutex_;
};

}  // namespace Corvane::detail
