// The public face of the service: thin calls into the engine.
#include "Corvane.h"

#include "common/Log.h"
#include "delivery/RoundToken.h"
#include "delivery/ScoreAddress.h"
#include "delivery/ScorePoster.h"
#include "mixer/Engine.h"
#include "output/AudioOutput.h"
#include "speech/Speech.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

namespace Corvane {

using detail::Engine;
using detail::ScorePoster;

// A program that ends without CloseLib: its scores wait in the outbox, and
// the threads stop before the process's own objects are destroyed.
void StopAtExit() {
    ScorePoster::Get().Stop(std::chrono::milliseconds(0));
    Engine::Get().Shutdown();
}

// Scores go out even when the mixer cannot start, so the poster starts first.
bool InitLib(int slots) {
    static const bool kStopRegistered = std::atexit(&StopAtExit) == 0;
    (void)kStopRegistered;
    ScorePoster::Get().Start();
    return Engine::Get().Start(slots, {});
}

// A short grace for scores posted just before quitting; the rest wait in the
// outbox for the next start.
void CloseLib() {
    ScorePoster::Get().Stop(std::chrono::milliseconds(1500));
    Engine::Get().Shutdown();
}

void SetGroupVolume(Group group, int percent) { Engine::Get().SetGroupVolume(group, percent); }

void SetSpeechVoice(int wordsPerMinute, const std::string& voice) {
    Engine::Get().SetSpeechVoice(wordsPerMinute, voice);
}

void SpeakNumber(std::int32_t number) { Engine::Get().Speak(detail::NumberText(number)); }

void SpeakText(const std::string& text) { Engine::Get().Speak(text); }

void SetScreenReader(bool on) { Engine::Get().SetScreenReader(on); }

void SetDuck(int decibels) { Engine::Get().SetDuck(decibels); }

void SetOneEar(bool on) { Engine::Get().SetOneEar(on); }

bool SetHeadphones(bool on) { return Engine::Get().SetHeadphones(on); }

// The sound's voice in the mixer, replaced by Open and taken by Close while
// other threads may be playing it.
struct Sound::Impl {
    std::mutex mutex;
    std::shared_ptr<detail::Voice> voice;
    Group group = Group::Effects;
    bool spoken = false;

    std::shared_ptr<detail::Voice> Get() {
        std::lock_guard lock(mutex);
        return voice;
    }
    std::shared_ptr<detail::Voice> Swap(std::shared_ptr<detail::Voice> fresh) {
        std::lock_guard lock(mutex);
        return std::exchange(voice, std::move(fresh));
    }
};

Sound::Sound() : impl_(std::make_unique<Impl>()) {}

// A sound made from a file opens it and asks its length; leaving scope
// closes it.
Sound::Sound(const std::string& fileName) : Sound() {
    Open(fileName);
    GetLength();
}

Sound::~Sound() { Close(); }

bool Sound::Init(const std::string& fileName) { return Open(fileName); }

bool Sound::Open(const std::string& fileName) {
    std::shared_ptr<detail::Voice> fresh = Engine::Get().Load(fileName);
    const bool opened = fresh != nullptr;
    if (fresh) {
        std::unique_lock lock(impl_->mutex);
        const Group group = impl_->group;
        const bool spoken = impl_->spoken;
        lock.unlock();
        Engine::Get().SetGroup(*fresh, group);
        Engine::Get().SetSpoken(*fresh, spoken);
    }
    if (auto old = impl_->Swap(std::move(fresh))) Engine::Get().Release(std::move(old));
    return opened;
}

void Sound::Play(int slot, bool loop, int pan, int volume) {
    if (auto v = impl_->Get()) Engine::Get().Play(v, slot, loop, pan, volume);
}

void Sound::Stop() {
    if (auto v = impl_->Get()) Engine::Get().Stop(*v);
}

void Sound::Pause() {
    if (auto v = impl_->Get()) Engine::Get().Pause(v);
}

void Sound::Resume() {
    if (auto v = impl_->Get()) Engine::Get().Resume(*v);
}

void Sound::Close() {
    if (auto old = impl_->Swap(nullptr)) Engine::Get().Release(std::move(old));
}

void Sound::Pan(int pan) {
    if (auto v = impl_->Get()) Engine::Get().SetPan(*v, pan);
}

void Sound::Volume(int volume) {
    if (auto v = impl_->Get()) Engine::Get().SetVolume(*v, volume);
}

void Sound::SetGroup(Group group) {
    std::shared_ptr<detail::Voice> v;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->group = group;
        v = impl_->voice;
    }
    if (v) Engine::Get().SetGroup(*v, group);
}

void Sound::SetSpoken(bool spoken) {
    std::shared_ptr<detail::Voice> v;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->spoken = spoken;
        v = impl_->voice;
    }
    if (v) Engine::Get().SetSpoken(*v, spoken);
}

void Sound::Pitch(int cents) {
    if (auto v = impl_->Get()) Engine::Get().SetPitch(*v, cents);
}

int Sound::GetLength() const {
    auto v = impl_->Get();
    return v ? Engine::Get().LengthMs(*v) : 0;
}

namespace {
// The record the next PostScore sends, and only that one.
std::mutex roundMutex;
std::string nextRound;
}  // namespace

void SetRoundRecord(const std::string& record) {
    std::lock_guard lock(roundMutex);
    nextRound = record;
}

void PostScore(std::string& game, std::int32_t score, std::string& name, std::string& site) {
    std::unique_lock lock(roundMutex);
    const std::string round = std::exchange(nextRound, {});
    lock.unlock();
    ScorePoster::Get().Post(game, score, name, site, round);
}

bool GetRoundToken(const std::string& game, const std::string& site, std::uint32_t waitMs, std::string& token,
                   std::uint32_t& seed) {
    const char* chosen = std::getenv("BARNBLAST_SCORE_SITE");
    const std::string url = detail::RoundsUrl(site, chosen ? chosen : "");
    if (url.empty()) return false;
    const auto answer = detail::FetchRoundToken(url, game, std::chrono::milliseconds(waitMs));
    if (!answer) return false;
    token = answer->token;
    seed = answer->seed;
    return true;
}

std::vector<std::string> AudioDevices() {
    std::string error;
    auto names = detail::OutputDeviceNames(error);
    if (!error.empty()) detail::Say("sound: no sound system (%s)\n", error.c_str());
    return names;
}

void SetAudioDevice(const std::string& name) { detail::ChooseOutputDevice(name); }

}  // namespace Corvane
