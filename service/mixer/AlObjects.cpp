#include "mixer/AlObjects.h"

#include "mixer/AlCheck.h"

#include "common/Log.h"

namespace Corvane::detail {

void ReportAlError(const char* file, int line, const char* expression) {
    ALenum error = alGetError();
    if (error != AL_NO_ERROR) {
        Say("sound: OpenAL error 0x%x at %s:%d in %s\n", static_cast<unsigned>(error), file, line, expression);
    }
}

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
