#include "common/Log.h"
#include "mixer/Engine.h"

#include "mixer/AlCheck.h"
#include "decoding/Decoder.h"
#include "decoding/MediaPaths.h"
#include "speech/Speech.h"
#include "Environment.h"
#include "Files.h"

#include <AL/alext.h>
#include <SDL2/SDL.h>

#include <chrono>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Corvane::detail {

void ReportAlError(const char* file, int line, const char* expression) {
    ALenum error = alGetError();
    if (error != AL_NO_ERROR) {
        Say("sound: OpenAL error 0x%x at %s:%d in %s\n", static_cast<unsigned>(error), file, line,
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

// Pan 0..255 to an azimuth in radians. OpenAL Soft's stereo panning already
// reaches a speaker at +-60 degrees, so the scale stops there: 0 is fully
// left, 255 fully right, and the angle moves evenly in between.
// Only the loopback device is used: OpenAL Soft is kept from probing its
// output backends (PulseAudio would start a thread of its own). Set while the
// program starts, before any thread could read the environment, and only
// when the user has not chosen otherwise.
[[maybe_unused]] const bool kOpenAlConfigured = [] {
    platform::SetEnvDefault("ALSOFT_DRIVERS", "null");
    return true;
}();

float Gain(int volume) { return static_cast<float>(std::clamp(volume, 0, 255)) / 255.0f; }

// How long a closed sound's fade is given before its source stops: its
// gain reaches zero within one update, and the output pulls every 5 ms.
constexpr auto kFadeOut = std::chrono::milliseconds(15);

float PanToAzimuth(int pan) {
    constexpr float kEdge = 60.0f * 3.14159265f / 180.0f;
    pan = std::clamp(pan, 0, 255);
    if (pan <= 128) return -kEdge * static_cast<float>(128 - pan) / 128.0f;
    return kEdge * static_cast<float>(pan - 128) / 127.0f;
}

}  // namespace

Engine::Engine() = default;

Engine& Engine::Get() { return Singleton<Engine>(); }

bool Engine::Running() {
    std::lock_guard lock(mutex_);
    return running_;
}

Engine::Mixer::~Mixer() {
    // Sounds still held by the game are emptied here; whatever it calls on
    // them afterwards does nothing.
    for (auto& weak : voices) {
        if (auto voice = weak.lock()) voice->Empty();
    }
    closing.clear();
    speechSource.Reset();
    speechBuffer.Reset();
    cache.clear();
    context.Reset();
    device.Reset();
}

bool Engine::Start(int slots, const EngineOptions& options) {
    std::unique_lock lock(mutex_);
    if (running_) return true;
    if (!LoadLoopbackEntryPoints()) {
        Say("sound: OpenAL Soft's loopback device is not available; no sound\n");
        return false;
    }
    auto mixer = std::make_unique<Mixer>();
    mixer->device = AlcDevice(pLoopbackOpen(nullptr));
    if (!mixer->device || !pFormatSupported(mixer->device.Get(), kMixRate, ALC_STEREO_SOFT, ALC_FLOAT_SOFT)) {
        Say("sound: OpenAL Soft cannot render 48 kHz float stereo; no sound\n");
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
    mixer->context = AlcContext(alcCreateContext(mixer->device.Get(), attributes));
    if (!mixer->context || !alcMakeContextCurrent(mixer->context.Get())) {
        Say("sound: cannot create the OpenAL mixing context; no sound\n");
        return false;
    }
    // Sounds are placed only by angle: no distance attenuation.
    AL_CHECK(alDistanceModel(AL_NONE));
    mixer->speechSource = GenerateSource();
    AL_CHECK(alSourcei(mixer->speechSource.Get(), AL_SOURCE_RELATIVE, AL_TRUE));
    AL_CHECK(alSource3f(mixer->speechSource.Get(), AL_POSITION, 0.0f, 0.0f, -1.0f));
    mixer->slots.resize(static_cast<std::size_t>(std::max(slots, 0)));
    renderDevice_ = mixer->device.Get();
    updateFrames_ = std::max(options.updateFrames, 1);
    callbackFrames_ = std::max(options.callbackFrames, 0);
    streamAboveMs_ = options.streamAboveMs;
    mixer_ = std::move(mixer);
    running_ = true;

    if (const std::string path = platform::EnvText("BARNBLAST_CAPTURE"); !path.empty()) {
        capture_.Start(path, kMixRate, kMixChannels);
    }
    speech_ = std::make_unique<SpeechWorker>(
        [this](const std::vector<std::int16_t>& samples, int rate) { PlaySpeech(samples, rate); });
    streamer_ = std::thread([this] { RunStreams(); });
    if (options.openOutput) {
        auto output = std::make_unique<Output>();
        if (!OpenOutput(*output)) {
            lock.unlock();
            Shutdown();
            return false;
        }
        output_ = std::move(output);
        output_->device.Resume();
    }
    return true;
}

bool Engine::OpenOutput(Output& output) {
    SDL_AudioSpec want{};
    want.freq = kMixRate;
    want.format = AUDIO_F32SYS;
    want.channels = kMixChannels;
    want.callback = &Engine::Callback;
    want.userdata = this;

    platform::QuietSoundSystem();
    // SDL would otherwise take SIGINT and SIGTERM for a quit event nobody
    // reads; the console layer owns those signals and ends the game.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    const auto blockFor = [this](const char* driver) {
        if (callbackFrames_ > 0) return callbackFrames_;
        return driver && std::strcmp(driver, "dummy") == 0 ? kSilentCallbackFrames : kCallbackFrames;
    };
    std::string reason;
    output.audio = SdlAudio::Start(nullptr, reason);
    want.samples = static_cast<Uint16>(blockFor(SDL_GetCurrentAudioDriver()));
    if (output.audio) output.device = SdlDevice::Open(want, reason);
    if (output.device) return true;

    // No sound card: play on through SDL's dummy driver, which keeps the
    // same timing, so the game behaves identically, only silently.
    output.audio = SdlAudio();
    std::string dummyReason;
    output.audio = SdlAudio::Start("dummy", dummyReason);
    want.samples = static_cast<Uint16>(blockFor("dummy"));
    if (output.audio) output.device = SdlDevice::Open(want, dummyReason);
    if (!output.device) {
        Say("sound: no audio output at all (%s)\n", dummyReason.c_str());
        return false;
    }
    Say("sound: no sound device (%s); playing silently\n", reason.c_str());
    return true;
}

void Engine::Callback(void* self, unsigned char* stream, int len) {
    static_cast<Engine*>(self)->Render(reinterpret_cast<float*>(stream),
                                       len / static_cast<int>(sizeof(float) * kMixChannels));
}

void Engine::Render(float* out, int frames) {
    std::lock_guard lock(renderMutex_);
    ALCdevice* device = renderDevice_.load(std::memory_order_acquire);
    if (!device) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * kMixChannels, 0.0f);
        return;
    }
    const int update = updateFrames_.load(std::memory_order_relaxed);
    for (int done = 0; done < frames; done += update) {
        pRenderSamples(device, out + static_cast<std::ptrdiff_t>(done) * kMixChannels, std::min(update, frames - done));
    }
    capture_.Push(out, static_cast<std::size_t>(frames) * kMixChannels);
    if (auto observer = observer_.load(std::memory_order_acquire)) observer(out, frames);
}

void Engine::ObserveRender(void (*observer)(const float*, int)) {
    observer_.store(observer, std::memory_order_release);
}

void Engine::Shutdown() {
    std::unique_ptr<Output> output;
    std::unique_ptr<SpeechWorker> speech;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        output = std::move(output_);
        speech = std::move(speech_);
    }
    // The output first: closing it returns once no callback runs.
    output.reset();
    speech.reset();  // joins the speech thread; its PlaySpeech now does nothing
    streamWake_.notify_all();
    if (streamer_.joinable()) streamer_.join();
    capture_.Finish();

    std::lock_guard lock(mutex_);
    {
        std::lock_guard render(renderMutex_);  // a render under way ends first
        renderDevice_ = nullptr;
    }
    mixer_.reset();
}

std::shared_ptr<Voice> Engine::Load(const std::string& requestedName) {
    const std::string fileName = LocateMedia(requestedName);
    const std::string path = ResolvePath(fileName);
    const auto facts = platform::LookAt(path);
    const platform::FileVersion version = facts ? facts->version : platform::FileVersion{};

    std::shared_ptr<const Buffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return nullptr;
        ReapClosing();
        auto it = mixer_->cache.find(path);
        if (it != mixer_->cache.end() && facts && it->second->version == version) buffer = it->second;
    }
    if (!buffer) {
        if (auto streamed = OpenStream(fileName, path)) return streamed;
    }
    if (!buffer) {
        // Decoding happens outside the lock: a long file must not hold up
        // the other thread's pan and volume changes.
        DecodedAudio audio;
        std::string error;
        if (!Decode(fileName, audio, error)) {
            Say("sound: cannot open \"%s\": %s\n", fileName.c_str(), error.c_str());
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        if (!running_) return nullptr;
        auto fresh = std::make_shared<Buffer>();
        fresh->id = GenerateBuffer();
        fresh->channels = audio.channels;
        fresh->lengthMs = audio.LengthMs();
        fresh->version = version;
        const ALenum format = audio.channels == 1 ? AL_FORMAT_MONO_FLOAT32 : AL_FORMAT_STEREO_FLOAT32;
        AL_CHECK(alBufferData(fresh->id.Get(), format, audio.samples.data(),
                              static_cast<ALsizei>(audio.samples.size() * sizeof(float)), audio.sampleRate));
        // A file changed on disk: sounds still playing its old version keep
        // that buffer until they end.
        mixer_->cache[path] = fresh;
        buffer = std::move(fresh);
    }

    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto voice = std::make_shared<Voice>();
    voice->buffer = buffer;
    voice->source = GenerateSource();
    if (!voice->source) {
        Say("sound: cannot open \"%s\": the mixer has no source left\n", fileName.c_str());
        return nullptr;
    }
    const ALuint source = voice->source.Get();
    AL_CHECK(alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer->id.Get())));
    AL_CHECK(alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE));
    if (buffer->channels == 2) {
        // Stereo sounds play exactly as recorded, left to left, right to right.
        AL_CHECK(alSourcei(source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE));
    }
    ApplyPan(*voice, 128);
    std::erase_if(mixer_->voices, [](const std::weak_ptr<Voice>& v) { return v.expired(); });
    mixer_->voices.push_back(voice);
    return voice;
}

// A long sound is streamed: opening it reads only its header.
std::shared_ptr<Voice> Engine::OpenStream(const std::string& fileName, const std::string& path) {
    // Not streamed: anything that cannot be opened (the full decoder then
    // says why), and anything short or of no believable length.
    std::string error;
    auto file = SoundReader::Open(path, error);
    if (!file || file->AnnouncedFrames() * 1000 / file->SampleRate() <= streamAboveMs_) return nullptr;
    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto voice = std::make_shared<Voice>();
    voice->stream = std::make_unique<Stream>();
    voice->source = GenerateSource();
    if (!voice->source || !voice->stream->Start(std::move(file), fileName)) {
        Say("sound: cannot open \"%s\": the mixer has no source left\n", fileName.c_str());
        voice->Empty();
        return nullptr;
    }
    const ALuint source = voice->source.Get();
    AL_CHECK(alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE));
    if (voice->Channels() == 2) AL_CHECK(alSourcei(source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE));
    ApplyPan(*voice, 128);
    std::erase_if(mixer_->voices, [](const std::weak_ptr<Voice>& v) { return v.expired(); });
    mixer_->voices.push_back(voice);
    return voice;
}

void Engine::RunStreams() {
    std::unique_lock lock(mutex_);
    while (running_) {
        // Each buffer holds under 0.1 s and four are queued: coming round
        // every 20 ms keeps the queue well ahead of the mixer.
        streamWake_.wait_for(lock, std::chrono::milliseconds(20));
        if (!running_) break;
        ServiceLocked();
    }
}

void Engine::ServiceStreams() {
    std::lock_guard lock(mutex_);
    if (running_) ServiceLocked();
}

void Engine::ServiceLocked() {
    for (const auto& weak : mixer_->voices) {
        auto voice = weak.lock();
        if (voice && voice->stream && voice->source) voice->stream->Service(voice->source.Get());
    }
}

void Engine::ReapClosing() {
    const auto now = Clock::now();
    std::erase_if(mixer_->closing, [now](Closing& closing) {
        ALint state = AL_STOPPED;
        AL_CHECK(alGetSourcei(closing.voice->source.Get(), AL_SOURCE_STATE, &state));
        if (state == AL_PLAYING && now < closing.stopAt) return false;
        closing.voice->Empty();
        return true;
    });
}

void Engine::Release(std::shared_ptr<Voice> voice) {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    // Reaped first: the sound in hand may itself be one closed before.
    ReapClosing();
    if (!voice || !Usable(*voice)) return;
    voice->slot = -1;
    const ALuint source = voice->source.Get();
    ALint state = AL_STOPPED, looping = AL_FALSE;
    AL_CHECK(alGetSourcei(source, AL_SOURCE_STATE, &state));
    AL_CHECK(alGetSourcei(source, AL_LOOPING, &looping));
    if (state == AL_PLAYING) {
        if (!looping && voice->buffer && voice->buffer->lengthMs <= kPlayOutMs) {
            // A shot closed as soon as it is fired is heard to its end.
            mixer_->closing.push_back({std::move(voice), Clock::time_point::max()});
            return;
        }
        // Anything longer fades out rather than stop with a click.
        AL_CHECK(alSourcef(source, AL_GAIN, 0.0f));
        mixer_->closing.push_back({std::move(voice), Clock::now() + kFadeOut});
        return;
    }
    voice->Empty();
}

void Engine::ApplyPan(const Voice& voice, int pan) {
    if (voice.Channels() != 1) return;
    const float azimuth = PanToAzimuth(pan);
    AL_CHECK(alSource3f(voice.source.Get(), AL_POSITION, std::sin(azimuth), 0.0f, -std::cos(azimuth)));
}

void Engine::Play(const std::shared_ptr<Voice>& handle, int slot, bool loop, int pan, int volume) {
    Voice& voice = *handle;
    std::lock_guard lock(mutex_);
    if (!running_) return;
    ReapClosing();
    if (!Usable(voice)) return;
    auto& slots = mixer_->slots;
    voice.slot = -1;
    if (slot >= 0 && static_cast<std::size_t>(slot) < slots.size()) {
        // A slot holds one sound at a time: starting another there stops it.
        if (auto other = slots[slot].lock(); other && other.get() != &voice && other->slot == slot && other->source) {
            if (other->stream) {
                other->stream->Stop(other->source.Get());
            } else {
                AL_CHECK(alSourceStop(other->source.Get()));
            }
            other->slot = -1;
        }
        slots[slot] = handle;
        voice.slot = slot;
    }
    const ALuint source = voice.source.Get();
    ApplyPan(voice, pan < 0 ? 128 : pan);
    AL_CHECK(alSourcef(source, AL_GAIN, Gain(volume)));
    if (voice.stream) {
        // The stream loops by itself; the source only plays its queue.
        voice.stream->Play(source, loop);
        streamWake_.notify_all();
        return;
    }
    AL_CHECK(alSourcei(source, AL_LOOPING, loop ? AL_TRUE : AL_FALSE));
    AL_CHECK(alSourceRewind(source));
    AL_CHECK(alSourcePlay(source));
}

void Engine::Stop(Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    if (voice.stream) {
        voice.stream->Stop(voice.source.Get());
        return;
    }
    AL_CHECK(alSourceStop(voice.source.Get()));
}

void Engine::SetPan(Voice& voice, int pan) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    ApplyPan(voice, pan);
}

void Engine::SetVolume(Voice& voice, int volume) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    AL_CHECK(alSourcef(voice.source.Get(), AL_GAIN, Gain(volume)));
}

int Engine::LengthMs(const Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return 0;
    return voice.buffer ? voice.buffer->lengthMs : voice.stream ? voice.stream->LengthMs() : 0;
}

void Engine::StopSpeech() {
    std::lock_guard lock(mutex_);
    if (running_) AL_CHECK(alSourceStop(mixer_->speechSource.Get()));
}

void Engine::PlaySpeech(const std::vector<std::int16_t>& samples, int rate) {
    std::lock_guard lock(mutex_);
    if (!running_ || samples.empty()) return;
    const ALuint source = mixer_->speechSource.Get();
    AL_CHECK(alSourceStop(source));
    AL_CHECK(alSourcei(source, AL_BUFFER, 0));
    mixer_->speechBuffer = GenerateBuffer();
    const ALuint buffer = mixer_->speechBuffer.Get();
    AL_CHECK(alBufferData(buffer, AL_FORMAT_MONO16, samples.data(),
                          static_cast<ALsizei>(samples.size() * sizeof(std::int16_t)), rate));
    AL_CHECK(alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer)));
    AL_CHECK(alSourcePlay(source));
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
