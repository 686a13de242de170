// The sound decoder on arbitrary bytes: it never crashes, never prints,
// and whatever it accepts is audio the mixer can take.
#include "MemoryFile.h"
#include "decoding/Decoder.h"

#include <stdio_ext.h>

#include <cstdio>

namespace {

// Anything written to stderr through stdio while decoding stays in this
// buffer until flushed, so it can be caught: libmpg123 and libsndfile print
// with stdio. The sanitizers and libFuzzer write around it.
char stderrBuffer[1 << 16];

void Fail(const char* why) {
    std::fprintf(stderr, "\ndecoder fuzzer: %s\n", why);
    std::fflush(stderr);
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setvbuf(stderr, stderrBuffer, _IOFBF, sizeof stderrBuffer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryFile file;
    const std::string& path = file.Hold(data, size);
    std::fflush(stderr);

    Corvane::detail::DecodedAudio audio;
    std::string error;
    const bool decoded = Corvane::detail::Decode(path, audio, error);

    if (__fpending(stderr) != 0) Fail("something was printed on stderr while decoding (above)");
    if (decoded) {
        if (audio.channels < 1 || audio.channels > 2) Fail("accepted a channel count the mixer cannot take");
        if (audio.sampleRate < 8000 || audio.sampleRate > 192000) Fail("accepted an unsupported rate");
        if (audio.samples.empty() || audio.samples.size() % static_cast<std::size_t>(audio.channels) != 0)
            Fail("accepted samples that are not whole frames");
        if (audio.Frames() > static_cast<long long>(Corvane::detail::kMaxDecodedSeconds) * audio.sampleRate)
            Fail("accepted more than the limit");
    } else if (error.empty() || error.find('\n') != std::string::npos) {
        Fail("refused without a one-line reason");
    }
    return 0;
}
