// The sound decoder on arbitrary bytes: it never crashes, never prints,
// and whatever it accepts is audio the mixer can take.
#include "MemoryFile.h"
#include "decoding/Decoder.h"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The fuzzer's own standard error, kept aside before anything is redirected:
// where the sanitizers report and where a finding is explained.
int console = -1;

void Say(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(console, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Fail(const std::string& why) {
    Say("\ndecoder fuzzer: " + why + "\n");
    __builtin_trap();
}

// Standard output and error point at a file of ours while an input is
// decoded, so whatever a library writes to the player's console is caught,
// however it writes it: through stdio, with write(2), or from a child.
class ConsoleTrap {
public:
    ConsoleTrap() {
        std::fflush(stdout);
        std::fflush(stderr);
        trap_.Hold(nullptr, 0);
        for (int fd : {1, 2}) {
            saved_[fd - 1] = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (saved_[fd - 1] < 0 || ::dup2(trap_.Descriptor(), fd) < 0) std::abort();
        }
    }
    ConsoleTrap(const ConsoleTrap&) = delete;
    ConsoleTrap& operator=(const ConsoleTrap&) = delete;

    // Puts both back; returns what was written to either meanwhile.
    std::string Release() {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd : {1, 2}) {
            if (::dup2(saved_[fd - 1], fd) < 0) std::abort();
            ::close(saved_[fd - 1]);
        }
        return trap_.Contents();
    }

private:
    static inline MemoryFile trap_;
    int saved_[2] = {-1, -1};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    console = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (console < 0) std::abort();
    // A sanitizer's report on a fault inside the decoder must not land in
    // the trap and vanish with the process.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(console)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryFile file;
    const std::string& path = file.Hold(data, size);

    Corvane::detail::DecodedAudio audio;
    std::string error;
    ConsoleTrap trap;
    const bool decoded = Corvane::detail::Decode(path, audio, error);
    const std::string printed = trap.Release();

    if (!printed.empty()) Fail("printed while decoding:\n" + printed);
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
