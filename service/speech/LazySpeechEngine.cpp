// eSpeak NG's functions as the speech thread calls them, each opening the
// library on first use (see LazyLibrary.h): it is needed only once a number
// is spoken. Without it, espeak_Initialize fails as eSpeak NG reports a
// failure, and numbers are not spoken.
#include "common/LazyLibrary.h"

#include <espeak-ng/speak_lib.h>

namespace {

using Corvane::detail::LazyLibrary;

LazyLibrary& SpeechEngine() {
    static LazyLibrary library("libespeak-ng.so.1", "sound");
    return library;
}

}  // namespace

extern "C" {

int espeak_Initialize(espeak_AUDIO_OUTPUT output, int bufferMs, const char* path, int options) {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_Initialize)>("espeak_Initialize");
    return kReal ? kReal(output, bufferMs, path, options) : EE_INTERNAL_ERROR;
}

void espeak_SetSynthCallback(t_espeak_callback* callback) {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_SetSynthCallback)>("espeak_SetSynthCallback");
    if (kReal) kReal(callback);
}

espeak_ERROR espeak_SetVoiceByName(const char* name) {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_SetVoiceByName)>("espeak_SetVoiceByName");
    return kReal ? kReal(name) : EE_INTERNAL_ERROR;
}

espeak_ERROR espeak_SetParameter(espeak_PARAMETER parameter, int value, int relative) {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_SetParameter)>("espeak_SetParameter");
    return kReal ? kReal(parameter, value, relative) : EE_INTERNAL_ERROR;
}

espeak_ERROR espeak_Synth(const void* text, size_t size, unsigned int position, espeak_POSITION_TYPE positionType,
                          unsigned int endPosition, unsigned int flags, unsigned int* uniqueIdentifier,
                          void* userData) {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_Synth)>("espeak_Synth");
    return kReal ? kReal(text, size, position, positionType, endPosition, flags, uniqueIdentifier, userData)
                 : EE_INTERNAL_ERROR;
}

espeak_ERROR espeak_Terminate() {
    static auto* const kReal = SpeechEngine().Find<decltype(espeak_Terminate)>("espeak_Terminate");
    return kReal ? kReal() : EE_INTERNAL_ERROR;
}

}  // extern "C"
