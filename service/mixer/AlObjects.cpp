#include "mixer/AlObjects.h"

#include "mixer/AlCheck.h"

namespace Corvane::detail {

void DeleteAlSource(ALuint id) {
    AL_CHECK(alSourceStop(id));
    // A source still holding a buffer would keep that buffer from deletion.
    AL_CHECK(alSourcei(id, AL_BUFFER, 0));
    AL_CHECK(alDeleteSources(1, &id));
}

void DeleteAlBuffer(ALuint id) { AL_CHECK(alDeleteBuffers(1, &id)); }

void DestroyAlcContext(ALCcontext* context) {
    if (alcGetCurrentContext() == context) alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
}

void CloseAlcDevice(ALCdevice* device) { alcCloseDevice(device); }

AlSource GenerateSource() {
    ALuint id = 0;
    alGetError();
    alGenSources(1, &id);
    return alGetError() == AL_NO_ERROR ? AlSource(id) : AlSource();
}

AlBuffer GenerateBuffer() {
    ALuint id = 0;
    alGetError();
    alGenBuffers(1, &id);
    return alGetError() == AL_NO_ERROR ? AlBuffer(id) : AlBuffer();
}

}  // namespace Corvane::detail
