#include "mixer/Stream.h"

#include "common/Log.h"
#include "mixer/AlCheck.h"

#include <AL/alext.h>

#include <cstdio>

namespace Corvane::detail {

bool Stream::Start(std::unique_ptr<SoundReader> file, std::string name) {
    file_ = std::move(file);
    name_ = std::move(name);
    for (auto& buffer : buffers_) {
        buffer = GenerateBuffer();
        if (!buffer) return false;
        idle_.push_back(buffer.Get());
    }
    scratch_.resize(static_cast<std::size_t>(kChunkFrames) * file_->Channels());
    return true;
}

int Stream::LengthMs() const { return static_cast<int>(file_->AnnouncedFrames() * 1000 / file_->SampleRate()); }

bool Stream::Fill(ALuint buffer) {
    long long got = 0;
    bool rewound = false;
    std::string error;
    while (got < kChunkFrames) {
        const long long read = file_->Read(scratch_.data() + got * Channels(), kChunkFrames - got, error);
        if (read < 0) {
            Say("sound: \"%s\" stopped: %s\n", name_.c_str(), error.c_str());
            active_ = false;
            return false;
        }
        if (read > 0) {
            got += read;
            rewound = false;
            continue;
        }
        // The end of the file: a loop goes on from its start in the same
        // buffer, so nothing is left out or doubled at the seam.
        if (!loop_ || rewound || !file_->Rewind()) {
            atEnd_ = true;
            break;
        }
        rewound = true;
    }
    if (got == 0) return false;
    const ALenum format = Channels() == 1 ? AL_FORMAT_MONO_FLOAT32 : AL_FORMAT_STEREO_FLOAT32;
    AL_CHECK(alBufferData(buffer, format, scratch_.data(), static_cast<ALsizei>(got * Channels() * sizeof(float)),
                          file_->SampleRate()));
    return true;
}

void Stream::Detach(ALuint source) {
    AL_CHECK(alSourceStop(source));
    AL_CHECK(alSourcei(source, AL_BUFFER, 0));
    idle_.clear();
    for (auto& buffer : buffers_) idle_.push_back(buffer.Get());
}

bool Stream::QueueIdle(ALuint source, std::size_t most) {
    bool queuedAny = false;
    while (!idle_.empty() && most-- > 0 && !atEnd_ && active_) {
        const ALuint buffer = idle_.back();
        if (!Fill(buffer)) break;
        idle_.pop_back();
        AL_CHECK(alSourceQueueBuffers(source, 1, &buffer));
        queuedAny = true;
    }
    return queuedAny;
}

void Stream::Play(ALuint source, bool loop) {
    Detach(source);
    loop_ = loop;
    atEnd_ = false;
    paused_ = false;
    active_ = file_->Rewind();
    // Two stretches now, so the sound starts at once; the stream thread
    // queues the rest within a few milliseconds.
    if (active_ && QueueIdle(source, 2)) AL_CHECK(alSourcePlay(source));
}

void Stream::Stop(ALuint source) {
    active_ = false;
    paused_ = false;
    AL_CHECK(alSourceStop(source));
}

void Stream::Pause(ALuint source) {
    if (!active_) return;
    paused_ = true;
    AL_CHECK(alSourcePause(source));
}

void Stream::Resume(ALuint source) {
    if (!paused_) return;
    paused_ = false;
    // A source that ran dry just before the pause is stopped, not paused:
    // Service plays it on once it has its next stretch.
    ALint state = AL_STOPPED;
    AL_CHECK(alGetSourcei(source, AL_SOURCE_STATE, &state));
    if (state == AL_PAUSED) AL_CHECK(alSourcePlay(source));
}

bool Stream::Service(ALuint source) {
    if (!active_) return false;
    ALint processed = 0;
    AL_CHECK(alGetSourcei(source, AL_BUFFERS_PROCESSED, &processed));
    for (ALint i = 0; i < processed; ++i) {
        ALuint done = 0;
        AL_CHECK(alSourceUnqueueBuffers(source, 1, &done));
        idle_.push_back(done);
    }
    QueueIdle(source, idle_.size());
    ALint left = 0, state = AL_STOPPED;
    AL_CHECK(alGetSourcei(source, AL_BUFFERS_QUEUED, &left));
    AL_CHECK(alGetSourcei(source, AL_SOURCE_STATE, &state));
    if (left == 0) {
        active_ = false;  // played to its end
        return false;
    }
    // Ran dry before we came round: go on where it stopped.
    if (state == AL_STOPPED && !paused_) AL_CHECK(alSourcePlay(source));
    return true;
}

}  // namespace Corvane::detail
