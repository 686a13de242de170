#include "mixer/Voices.h"

#include "mixer/AlCheck.h"

#include "Corvane.h"

#include <AL/alext.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace Corvane::detail {
namespace {

// How long a closed sound's fade is given before its source stops: its gain
// reaches zero over one update of the mix (2.5 ms), and the output pulls a
// block (10 ms) at a time, so the fade is over within 12.5 ms of the close.
constexpr auto kFadeOut = std::chrono::milliseconds(15);

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

float Gain(int volume) { return static_cast<float>(std::clamp(volume, 0, 255)) / 255.0f; }

void ApplyPan(const Voice& voice, int pan) {
    if (voice.Channels() != 1) return;
    const float azimuth = PanToAzimuth(pan);
    AL_CHECK(alSource3f(voice.source.Get(), AL_POSITION, std::sin(azimuth), 0.0f, -std::cos(azimuth)));
}

void ApplyPitch(const Voice& voice) {
    const int cents = std::clamp(voice.pitchCents, kLowestPitch, kHighestPitch);
    AL_CHECK(alSourcef(voice.source.Get(), AL_PITCH, std::exp2(static_cast<float>(cents) / 1200.0f)));
}

VoiceTable::~VoiceTable() {
    for (auto& weak : voices_) {
        if (auto voice = weak.lock()) voice->Empty();
    }
    closing_.clear();
    cache_.clear();
}

std::shared_ptr<const Buffer> VoiceTable::Cached(const std::string& path, const platform::FileVersion& version) const {
    auto it = cache_.find(path);
    return it != cache_.end() && it->second->version == version ? it->second : nullptr;
}

void VoiceTable::Adopt(const std::shared_ptr<Voice>& voice) {
    const ALuint source = voice->source.Get();
    AL_CHECK(alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE));
    // Stereo sounds play exactly as recorded, left to left, right to right.
    if (voice->Channels() == 2) AL_CHECK(alSourcei(source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE));
    ApplyPan(*voice, 128);
    std::erase_if(voices_, [](const std::weak_ptr<Voice>& v) { return v.expired(); });
    voices_.push_back(voice);
}

void VoiceTable::TakeSlot(const std::shared_ptr<Voice>& voice, int slot) {
    voice->slot = -1;
    if (slot < 0 || static_cast<std::size_t>(slot) >= slots_.size()) return;
    // A slot holds one sound at a time: starting another there stops it.
    if (auto other = slots_[slot].lock(); other && other != voice && other->slot == slot && other->source) {
        if (other->stream) {
            other->stream->Stop(other->source.Get());
        } else {
            AL_CHECK(alSourceStop(other->source.Get()));
        }
        other->slot = -1;
    }
    slots_[slot] = voice;
    voice->slot = slot;
}

void VoiceTable::Reap() {
    const auto now = Clock::now();
    std::erase_if(closing_, [now](Closing& closing) {
        ALint state = AL_STOPPED;
        AL_CHECK(alGetSourcei(closing.voice->source.Get(), AL_SOURCE_STATE, &state));
        if (state == AL_PLAYING && now < closing.stopAt) return false;
        closing.voice->Empty();
        return true;
    });
}

void VoiceTable::Release(std::shared_ptr<Voice> voice) {
    voice->slot = -1;
    voice->closing = true;
    const ALuint source = voice->source.Get();
    ALint state = AL_STOPPED, looping = AL_FALSE;
    AL_CHECK(alGetSourcei(source, AL_SOURCE_STATE, &state));
    AL_CHECK(alGetSourcei(source, AL_LOOPING, &looping));
    if (state == AL_PLAYING) {
        if (!looping && voice->buffer && voice->buffer->lengthMs <= kPlayOutMs) {
            // A shot closed as soon as it is fired is heard to its end.
            closing_.push_back({std::move(voice), Clock::time_point::max()});
            return;
        }
        // Anything longer fades out rather than stop with a click.
        AL_CHECK(alSourcef(source, AL_GAIN, 0.0f));
        closing_.push_back({std::move(voice), Clock::now() + kFadeOut});
        return;
    }
    voice->Empty();
}

void VoiceTable::ServiceStreams() {
    for (const auto& weak : voices_) {
        auto voice = weak.lock();
        if (voice && voice->stream && voice->source) voice->stream->Service(voice->source.Get());
    }
}

}  // namespace Corvane::detail
