// The mixer behind Corvane: an OpenAL Soft loopback device rendered into an
// SDL2 audio callback, one OpenAL source per sound.
#pragma once

#include "CaptureWriter.h"
#include "Corvane.h"

#include <AL/al.h>
#include <AL/alc.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Corvane::detail {

constexpr int kMixRate = 48000;
constexpr int kMixChannels = 2;
constexpr int kCallbackFrames = 480;  // 10 ms per output buffer

// Decoded samples uploaded once into an OpenAL buffer, shared by every sound
// opened from the same file.
struct Buffer {
    ALuint id = 0;
    int channels = 0;
    int lengthMs = 0;
    long long fileSize = 0;
    long long fileTime = 0;
};

struct Voice {
    ALuint source = 0;
    std::shared_ptr<Buffer> buffer;
    int slot = -1;
    bool alive = false;  // false once closed or the service has stopped
};

class SpeechWorker;

struct EngineOptions {
    bool openOutput = true;  // false: no device; the caller pulls with Render
};

class Engine {
public:
    static Engine& Get();

    bool Start(int slots, const EngineOptions& options);
    void Shutdown();
    bool Running();

    std::shared_ptr<Voice> Load(const std::string& fileName);
    void Release(Voice& voice);
    void Play(Voice& voice, int slot, bool loop, int pan, int volume);
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
    // the capture. Called by the output callback, or by tests without one.
    void Render(float* out, int frames);
    // Sees every rendered block right after it is mixed (benchmarks only).
    std::atomic<void (*)(const float*, int)> renderObserver{nullptr};

private:
    Engine() = default;
    static void Callback(void* self, unsigned char* stream, int len);
    bool OpenOutput();
    void ApplyPan(const Voice& voice, int pan);
    void ReapDrained();
    void DestroyVoice(Voice& voice);

    std::mutex mutex_;  // guards everything below; never taken by Render
    bool running_ = false;
    ALCdevice* device_ = nullptr;
    ALCcontext* context_ = nullptr;
    std::uint32_t output_ = 0;
    bool sdlStarted_ = false;
    std::vector<Voice*> slots_;
    std::set<Voice*> voices_;
    std::vector<std::shared_ptr<Voice>> draining_;  // closed one-shots still playing
    std::map<std::string, std::shared_ptr<Buffer>> cache_;
    std::vector<std::shared_ptr<Buffer>> retired_;
    ALuint speechSource_ = 0;
    ALuint speechBuffer_ = 0;
    std::unique_ptr<SpeechWorker> speech_;
    CaptureWriter capture_;
};

}  // namespace Corvane::detail
