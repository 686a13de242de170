// The sound decoder on arbitrary bytes: it never crashes, never prints,
// and whatever it accepts is audio the mixer can take.
#include "MemoryFile.h"
#include "decoding/Decoder.h"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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
    explicit ConsoleTrap(MemoryFile& trap) : trap_(trap) {
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
    MemoryFile& trap_;
    int saved_[2] = {-1, -1};
};

// Coverage is counted only in our own code, not in libmpg123 or libsndfile,
// so libFuzzer cannot see which header fields lead somewhere new inside
// them. The fields that steer those libraries are made visible instead: as
// features of their own (below), and as mutations that set one of them.

// Where an input's headers are: MPEG frame syncs, and a WAV format chunk.
struct Headers {
    static constexpr std::size_t kMaxFrames = 64;
    std::vector<std::size_t> frames;
    std::size_t format = 0;  // 0: none ("fmt " is never at the very start)
};

Headers FindHeaders(const std::uint8_t* data, std::size_t size) {
    Headers found;
    for (std::size_t i = 0; i + 4 <= size && found.frames.size() < Headers::kMaxFrames; ++i) {
        if (data[i] == 0xFF && (data[i + 1] & 0xE0) == 0xE0) found.frames.push_back(i);
        if (!found.format && i && i + 24 <= size && std::memcmp(data + i, "fmt ", 4) == 0) found.format = i;
    }
    return found;
}

// One feature for each combination of version, layer, bitrate, sample rate,
// mode and mode extension of the first two frame headers, and for each WAV
// format tag, channel count and sample size: libFuzzer keeps an input that
// brings a new one, as it would one that reached new code in the libraries.
__attribute__((used, section("__libfuzzer_extra_counters"))) std::uint8_t headerFeatures[(1 << 14) + 4096];

void MarkHeaders(const std::uint8_t* data, const Headers& headers) {
    int marked = 0;
    for (std::size_t at : headers.frames) {
        const std::uint8_t* h = data + at;
        // Only what could be a frame header: a layer, a bitrate and a rate.
        if ((h[1] & 0x06) == 0 || (h[2] & 0xF0) == 0xF0 || (h[2] & 0x0C) == 0x0C) continue;
        headerFeatures[((h[1] >> 1) & 0x0F) << 10 | (h[2] >> 2) << 4 | h[3] >> 4] = 1;
        if (++marked == 2) break;
    }
    if (headers.format) {
        const std::uint8_t* f = data + headers.format + 8;
        const unsigned tag = (f[0] | f[1] << 8) % 64;
        const unsigned channels = std::min<unsigned>(f[2] | f[3] << 8, 7);
        const unsigned bits = std::min<unsigned>((f[14] | f[15] << 8) / 4, 7);
        headerFeatures[(1 << 14) + (tag << 6 | channels << 3 | bits)] = 1;
    }
}

bool MutateHeader(std::uint8_t* data, const Headers& headers, std::minstd_rand& random) {
    if (headers.format && (headers.frames.empty() || random() % 2 == 0)) {
        // Format tag, channels, rate, bytes a second, block size, bits.
        static constexpr int kOffsets[] = {8, 10, 12, 16, 20, 22};
        static constexpr int kWidths[] = {2, 2, 4, 4, 2, 2};
        static constexpr std::uint16_t kTags[] = {1, 2, 3, 6, 7, 0x11, 0x31, 0x40, 0x50, 0x55, 0xFFFE};
        const int field = static_cast<int>(random() % 6);
        std::uint32_t value = random();
        if (field == 0) value = kTags[value % std::size(kTags)];
        if (field == 1 || field == 5) value %= 65;
        if (field == 4) value %= 4097;
        for (int b = 0; b < kWidths[field]; ++b)
            data[headers.format + kOffsets[field] + b] = static_cast<std::uint8_t>(value >> 8 * b);
        return true;
    }
    if (headers.frames.empty()) return false;
    // Byte, lowest bit and width of each field after the sync bits: version,
    // layer, CRC, bitrate, sample rate, padding, mode, mode extension, emphasis.
    static constexpr int kFields[][3] = {{1, 3, 2}, {1, 1, 2}, {1, 0, 1}, {2, 4, 4}, {2, 2, 2},
                                         {2, 1, 1}, {3, 6, 2}, {3, 4, 2}, {3, 0, 2}};
    const auto& [byte, low, width] = kFields[random() % std::size(kFields)];
    const std::uint8_t mask = static_cast<std::uint8_t>(((1u << width) - 1) << low);
    const std::uint8_t value = static_cast<std::uint8_t>((random() << low) & mask);
    const bool everyFrame = random() % 2 == 0;
    const std::size_t one = headers.frames[random() % headers.frames.size()];
    for (std::size_t at : headers.frames) {
        if (everyFrame || at == one) data[at + byte] = static_cast<std::uint8_t>((data[at + byte] & ~mask) | value);
    }
    return true;
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    std::minstd_rand random(seed);
    if (random() % 2 == 0 && MutateHeader(data, FindHeaders(data, size), random)) return size;
    return LLVMFuzzerMutate(data, size, maxSize);
}

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
    MarkHeaders(data, FindHeaders(data, size));

    Corvane::detail::DecodedAudio audio;
    std::string error;
    static MemoryFile printed;
    ConsoleTrap trap(printed);
    const bool decoded = Corvane::detail::Decode(path, audio, error);
    const std::string output = trap.Release();

    if (!output.empty()) Fail("printed while decoding:\n" + output);
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
