#include "Engine.h"

#include "AlCheck.h"
#include "Decoder.h"
#include "Speech.h"

#include <AL/alext.h>
#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace Corvane::detail {

void ReportAlError(const char* file, int line, const char* expression) {
    ALenum error = alGetError();
    if (error != AL_NO_ERROR) {
        std::fprintf(stderr, "sound: OpenAL error 0x%x at %s:%d in %s\n", static_cast<unsigned>(error), file, line,
                     expression);
    }
}

namespace {

LPALCLOOPBACKOPENDEVICESOFT pLoopbackOpen;
LPALCISRENDERFORMATSUPPORTEDSOFT pFormatSupported;
LPALCRENDERSAMPLESSOFT pRenderSamples;

bool LoadLoopbackEntryPoints() {
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) return false;
    pLoopbackOpen =
        reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    pFormatSupported = reinterpret_cast<LPALCISRENDERFORMATSUPPORTEDSOFT>(
        alcGetProcAddress(nullptr, "alcIsRenderFormatSupportedSOFT"));
    pRenderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    return pLoopbackOpen && pFormatSupported && pRenderSamples;
}

// ALSA's library prints its own diagnostics to standard error while SDL
// probes for a device (a dozen lines when there is no sound card). The game
// says what matters in one line of its own, so those are silenced. SDL loads
// the same libasound, so the handler set here is the one it uses.
void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaDiagnostics() {
    void* alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!alsa) return;
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(::dlsym(alsa, "snd_lib_error_set_handler"))) set(&SilentAlsaHandler);
}

// Pan 0..255 to an azimuth in radians. OpenAL Soft's stereo panning already
// reaches a speaker at +-60 degrees, so the scale stops there: 0 is fully
// left, 255 fully right, and the angle moves evenly in between.
float PanToAzimuth(int pan) {
    constexpr float kEdge = 60.0f * 3.14159265f / 180.0f;
    pan = std::clamp(pan, 0, 255);
    if (pan <= 128) return -kEdge * static_cast<float>(128 - pan) / 128.0f;
    return kEdge * static_cast<float>(pan - 128) / 127.0f;
}

}  // namespace

Engine& Engine::Get() {
    // Never destroyed: sounds held in static objects are closed after the
    // game has returned, and must find the engine still there.
    static Engine* engine = new Engine;
    return *engine;
}

bool Engine::Running() {
    std::lock_guard lock(mutex_);
    return running_;
}

bool Engine::Start(int slots, const EngineOptions& options) {
    std::unique_lock lock(mutex_);
    if (running_) return true;
    // Only the loopback device is used: keep OpenAL Soft from probing its
    // output backends (PulseAudio would start a thread of its own).
    ::setenv("ALSOFT_DRIVERS", "null", 1);
    if (!LoadLoopbackEntryPoints()) {
        std::fprintf(stderr, "sound: OpenAL Soft's loopback device is not available; no sound\n");
        return false;
    }
    device_ = pLoopbackOpen(nullptr);
    if (!device_ || !pFormatSupported(device_, kMixRate, ALC_STEREO_SOFT, ALC_FLOAT_SOFT)) {
        std::fprintf(stderr, "sound: OpenAL Soft cannot render 48 kHz float stereo; no sound\n");
        if (device_) alcCloseDevice(device_);
        device_ = nullptr;
        return false;
    }
    const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                 ALC_STEREO_SOFT,
                                 ALC_FORMAT_TYPE_SOFT,
                                 ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY,
                                 kMixRate,
                                 ALC_HRTF_SOFT,
                                 ALC_FALSE,
                                 0};
    context_ = alcCreateContext(device_, attributes);
    if (!context_ || !alcMakeContextCurrent(context_)) {
        std::fprintf(stderr, "sound: cannot create the OpenAL mixing context; no sound\n");
        if (context_) alcDestroyContext(context_);
        alcCloseDevice(device_);
        context_ = nullptr;
        device_ = nullptr;
        return false;
    }
    // Sounds are placed only by angle: no distance attenuation.
    AL_CHECK(alDistanceModel(AL_NONE));
    AL_CHECK(alGenSources(1, &speechSource_));
    AL_CHECK(alSourcei(speechSource_, AL_SOURCE_RELATIVE, AL_TRUE));
    AL_CHECK(alSource3f(speechSource_, AL_POSITION, 0.0f, 0.0f, -1.0f));

    slots_.assign(static_cast<std::size_t>(std::max(slots, 0)), nullptr);
    running_ = true;

    if (const char* path = std::getenv("BARNBLAST_CAPTURE"); path && *path) {
        capture_.Start(path, kMixRate, kMixChannels);
    }
    speech_ = std::make_unique<SpeechWorker>(*this);
    if (options.openOutput && !OpenOutput()) {
        lock.unlock();
        Shutdown();
        return false;
    }
    return true;
}

bool Engine::OpenOutput() {
    SDL_AudioSpec want{};
    want.freq = kMixRate;
    want.format = AUDIO_F32SYS;
    want.channels = kMixChannels;
    want.samples = kCallbackFrames;
    want.callback = &Engine::Callback;
    want.userdata = this;

    std::string reason;
    SilenceAlsaDiagnostics();
    // SDL would otherwise take SIGINT and SIGTERM for a quit event nobody
    // reads; the console layer owns those signals and ends the game.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        sdlStarted_ = true;
        output_ = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
        if (!output_) reason = SDL_GetError();
    } else {
        reason = SDL_GetError();
    }
    if (!output_) {
        // No sound card: play on through SDL's dummy driver, which keeps the
        // same timing, so the game behaves identically, only silently.
        if (sdlStarted_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlStarted_ = false;
        if (SDL_AudioInit("dummy") == 0) {
            sdlStarted_ = true;
            output_ = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
        }
        if (!output_) {
            std::fprintf(stderr, "sound: no audio output at all (%s)\n", SDL_GetError());
            return false;
        }
        std::fprintf(stderr, "sound: no sound device (%s); playing silently\n", reason.c_str());
    }
    SDL_PauseAudioDevice(output_, 0);
    return true;
}

void Engine::Callback(void* self, unsigned char* stream, int len) {
    static_cast<Engine*>(self)->Render(reinterpret_cast<float*>(stream),
                                       len / static_cast<int>(sizeof(float) * kMixChannels));
}

void Engine::Render(float* out, int frames) {
    // device_ only changes while the output is closed (Start/Shutdown).
    pRenderSamples(device_, out, frames);
    capture_.Push(out, static_cast<std::size_t>(frames) * kMixChannels);
    if (auto observer = renderObserver.load(std::memory_order_acquire)) observer(out, frames);
}

void Engine::Shutdown() {
    // The output first: SDL returns once no callback is running.
    std::uint32_t output = 0;
    bool sdl = false;
    std::unique_ptr<SpeechWorker> speech;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        output = std::exchange(output_, 0);
        sdl = std::exchange(sdlStarted_, false);
        speech = std::move(speech_);
    }
    if (output) SDL_CloseAudioDevice(output);
    if (sdl) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    speech.reset();  // joins the speech thread; it may still call PlaySpeech
    capture_.Finish();

    std::lock_guard lock(mutex_);
    for (Voice* voice : voices_) {
        AL_CHECK(alDeleteSources(1, &voice->source));
        voice->source = 0;
        voice->alive = false;
        voice->buffer.reset();
    }
    voices_.clear();
    draining_.clear();
    slots_.clear();
    AL_CHECK(alDeleteSources(1, &speechSource_));
    if (speechBuffer_) AL_CHECK(alDeleteBuffers(1, &speechBuffer_));
    speechSource_ = speechBuffer_ = 0;
    for (auto& [name, buffer] : cache_) AL_CHECK(alDeleteBuffers(1, &buffer->id));
    for (auto& buffer : retired_) AL_CHECK(alDeleteBuffers(1, &buffer->id));
    cache_.clear();
    retired_.clear();
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context_);
    alcCloseDevice(device_);
    context_ = nullptr;
    device_ = nullptr;
    running_ = false;
}

std::shared_ptr<Voice> Engine::Load(const std::string& fileName) {
    const std::string path = ResolvePath(fileName);
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return nullptr;
        ReapDrained();
    }

    std::shared_ptr<Buffer> buffer;
    {
        std::lock_guard lock(mutex_);
        auto it = cache_.find(path);
        if (it != cache_.end() && exists && it->second->fileSize == st.st_size && it->second->fileTime == st.st_mtime) {
            buffer = it->second;
        }
    }
    if (!buffer) {
        // Decoding happens outside the lock: a long file must not hold up
        // the other thread's pan and volume changes.
        DecodedAudio audio;
        std::string error;
        if (!Decode(fileName, audio, error)) {
            std::fprintf(stderr, "sound: cannot open \"%s\": %s\n", fileName.c_str(), error.c_str());
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        if (!running_) return nullptr;
        buffer = std::make_shared<Buffer>();
        buffer->channels = audio.channels;
        buffer->lengthMs = audio.LengthMs();
        buffer->fileSize = st.st_size;
        buffer->fileTime = st.st_mtime;
        AL_CHECK(alGenBuffers(1, &buffer->id));
        const ALenum format = audio.channels == 1 ? AL_FORMAT_MONO_FLOAT32 : AL_FORMAT_STEREO_FLOAT32;
        AL_CHECK(alBufferData(buffer->id, format, audio.samples.data(),
                              static_cast<ALsizei>(audio.samples.size() * sizeof(float)), audio.sampleRate));
        auto& slot = cache_[path];
        // A file changed on disk: its old buffer may still be playing.
        if (slot) retired_.push_back(slot);
        slot = buffer;
    }

    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto voice = std::make_shared<Voice>();
    voice->buffer = buffer;
    AL_CHECK(alGenSources(1, &voice->source));
    AL_CHECK(alSourcei(voice->source, AL_BUFFER, static_cast<ALint>(buffer->id)));
    AL_CHECK(alSourcei(voice->source, AL_SOURCE_RELATIVE, AL_TRUE));
    if (buffer->channels == 2) {
        // Stereo sounds play exactly as recorded, left to left, right to right.
        AL_CHECK(alSourcei(voice->source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE));
    }
    voice->alive = true;
    ApplyPan(*voice, 128);
    voices_.insert(voice.get());
    return voice;
}

void Engine::DestroyVoice(Voice& voice) {
    AL_CHECK(alSourceStop(voice.source));
    AL_CHECK(alDeleteSources(1, &voice.source));
    voice.source = 0;
    voice.alive = false;
    voice.buffer.reset();
    voices_.erase(&voice);
}

void Engine::ReapDrained() {
    std::erase_if(draining_, [this](const std::shared_ptr<Voice>& voice) {
        ALint state = AL_STOPPED;
        AL_CHECK(alGetSourcei(voice->source, AL_SOURCE_STATE, &state));
        if (state == AL_PLAYING) return false;
        DestroyVoice(*voice);
        return true;
    });
}

void Engine::Release(Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!voice.alive || !running_) return;
    ReapDrained();
    if (voice.slot >= 0 && static_cast<std::size_t>(voice.slot) < slots_.size() && slots_[voice.slot] == &voice) {
        slots_[voice.slot] = nullptr;
    }
    voice.slot = -1;
    ALint state = AL_STOPPED, looping = AL_FALSE;
    AL_CHECK(alGetSourcei(voice.source, AL_SOURCE_STATE, &state));
    AL_CHECK(alGetSourcei(voice.source, AL_LOOPING, &looping));
    if (state == AL_PLAYING && !looping) {
        // A one-shot closed while it plays (a shot closed as soon as it is
        // fired) is heard to its end; its source is freed afterwards.
        auto keep = std::make_shared<Voice>(std::move(voice));
        voice.alive = false;
        voice.source = 0;
        voices_.erase(&voice);
        voices_.insert(keep.get());
        draining_.push_back(std::move(keep));
        return;
    }
    DestroyVoice(voice);
}

void Engine::ApplyPan(const Voice& voice, int pan) {
    if (!voice.buffer || voice.buffer->channels != 1) return;
    const float azimuth = PanToAzimuth(pan);
    AL_CHECK(alSource3f(voice.source, AL_POSITION, std::sin(azimuth), 0.0f, -std::cos(azimuth)));
}

void Engine::Play(Voice& voice, int slot, bool loop, int pan, int volume) {
    std::lock_guard lock(mutex_);
    if (!voice.alive || !running_) return;
    if (voice.slot >= 0 && static_cast<std::size_t>(voice.slot) < slots_.size() && slots_[voice.slot] == &voice) {
        slots_[voice.slot] = nullptr;
    }
    voice.slot = -1;
    if (slot >= 0 && static_cast<std::size_t>(slot) < slots_.size()) {
        // A slot holds one sound at a time: starting another there stops it.
        if (Voice* other = slots_[slot]; other && other != &voice && other->alive) {
            AL_CHECK(alSourceStop(other->source));
            other->slot = -1;
        }
        slots_[slot] = &voice;
        voice.slot = slot;
    }
    ApplyPan(voice, pan < 0 ? 128 : pan);
    AL_CHECK(alSourcef(voice.source, AL_GAIN, static_cast<float>(std::clamp(volume, 0, 255)) / 255.0f));
    AL_CHECK(alSourcei(voice.source, AL_LOOPING, loop ? AL_TRUE : AL_FALSE));
    AL_CHECK(alSourceRewind(voice.source));
    AL_CHECK(alSourcePlay(voice.source));
}

void Engine::Stop(Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!voice.alive || !running_) return;
    AL_CHECK(alSourceStop(voice.source));
}

void Engine::SetPan(Voice& voice, int pan) {
    std::lock_guard lock(mutex_);
    if (!voice.alive || !running_) return;
    ApplyPan(voice, pan);
}

void Engine::SetVolume(Voice& voice, int volume) {
    std::lock_guard lock(mutex_);
    if (!voice.alive || !running_) return;
    AL_CHECK(alSourcef(voice.source, AL_GAIN, static_cast<float>(std::clamp(volume, 0, 255)) / 255.0f));
}

int Engine::LengthMs(const Voice& voice) {
    std::lock_guard lock(mutex_);
    return voice.alive && voice.buffer ? voice.buffer->lengthMs : 0;
}

void Engine::StopSpeech() {
    std::lock_guard lock(mutex_);
    if (running_) AL_CHECK(alSourceStop(speechSource_));
}

void Engine::PlaySpeech(const std::vector<std::int16_t>& samples, int rate) {
    std::lock_guard lock(mutex_);
    if (!running_ || samples.empty()) return;
    AL_CHECK(alSourceStop(speechSource_));
    AL_CHECK(alSourcei(speechSource_, AL_BUFFER, 0));
    if (speechBuffer_) AL_CHECK(alDeleteBuffers(1, &speechBuffer_));
    AL_CHECK(alGenBuffers(1, &speechBuffer_));
    AL_CHECK(alBufferData(speechBuffer_, AL_FORMAT_MONO16, samples.data(),
                          static_cast<ALsizei>(samples.size() * sizeof(std::int16_t)), rate));
    AL_CHECK(alSourcei(speechSource_, AL_BUFFER, static_cast<ALint>(speechBuffer_)));
    AL_CHECK(alSourcePlay(speechSource_));
}

void Engine::Speak(std::int32_t number) {
    StopSpeech();
    std::lock_guard lock(mutex_);
    if (running_ && speech_) speech_->Request(number);
}

bool Engine::WaitSpeechIdle(int timeoutMs) {
    SpeechWorker* speech = nullptr;
    {
        std::lock_guard lock(mutex_);
        speech = speech_.get();
    }
    return !speech || speech->WaitIdle(timeoutMs);
}

}  // namespace Corvane::detail
