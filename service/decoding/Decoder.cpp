#include "decoding/Decoder.h"
#include "decoding/Readers.h"

#include "Files.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

namespace Corvane::detail {
namespace {

bool Exists(const std::string& path) { return platform::LookAt(path).has_value(); }

// OpenAL takes a buffer's size in bytes as a signed int.
static_assert(static_cast<long long>(kMaxDecodedSeconds) * kMaxRate * 2 * sizeof(float) <= INT_MAX);
constexpr const char* kNoPermission = "no permission to read it";
constexpr const char* kTooLong = "is too long (over 10 minutes of audio)";
static_assert(kMaxDecodedSeconds == 600, "kTooLong states the limit");
constexpr const char* kTooLarge = "is too large to hold in memory";
constexpr sf_count_t kBlockFrames = 4096;

// What a path that is not a regular file is, as the reason it is refused.
std::string NotARegularFile(platform::FileKind kind) {
    switch (kind) {
        case platform::FileKind::Folder: return "is a folder, not a sound file";
        case platform::FileKind::Pipe: return "is a named pipe (FIFO), not a sound file";
        case platform::FileKind::Device: return "is a device, not a sound file";
        case platform::FileKind::Socket: return "is a socket, not a sound file";
        default: return "is not a regular file";
    }
}

std::string OpenError(int err) { return err == EACCES || err == EPERM ? kNoPermission : platform::ErrorText(err); }

// Keeps the handle's lifetime tied to the decode.
struct SndFile {
    SNDFILE* handle = nullptr;
    SndFile() = default;
    SndFile(const SndFile&) = delete;
    SndFile& operator=(const SndFile&) = delete;
    ~SndFile() {
        if (handle) sf_close(handle);
    }
};

enum class Kind { Unknown, Wav, Mp3 };

Kind Sniff(int fd) {
    unsigned char head[12] = {};
    const std::size_t got = platform::ReadAt(fd, head, sizeof head, 0);
    if (got >= 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RIFX", 4) == 0) &&
        std::memcmp(head + 8, "WAVE", 4) == 0)
        return Kind::Wav;
    if (got >= 3 && std::memcmp(head, "ID3", 3) == 0) return Kind::Mp3;
    // An MPEG audio frame header: 11 sync bits, a layer, a usable bitrate.
    if (got >= 3 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x06) != 0 && (head[2] & 0xF0) != 0xF0)
        return Kind::Mp3;
    return Kind::Unknown;
}

// What a WAV file's chunks announce, read without trusting any of it.
struct WavLayout {
    unsigned formatTag = 0;  // from the "fmt " chunk (the sub-format's for WAVE_FORMAT_EXTENSIBLE)
    long long dataEnd = -1;  // end offset of the "data" chunk, or -1 when open-ended or not found
};

WavLayout ReadWavLayout(int fd, long long fileSize) {
    // A file of nothing but empty chunks must not keep us walking for long.
    constexpr int kMaxChunks = 1024;
    WavLayout layout;
    unsigned char riff[4];
    if (platform::ReadAt(fd, riff, 4, 0) != 4) return layout;
    const bool bigEndian = std::memcmp(riff, "RIFX", 4) == 0;
    const auto u32 = [bigEndian](const unsigned char* b) {
        return bigEndian ? (std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3])
                         : (std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 | b[0]);
    };
    const auto u16 = [bigEndian](const unsigned char* b) {
        return bigEndian ? (unsigned{b[0]} << 8 | b[1]) : (unsigned{b[1]} << 8 | b[0]);
    };
    long long offset = 12;
    for (int i = 0; i < kMaxChunks && offset + 8 <= fileSize; ++i) {
        unsigned char chunk[8];
        if (platform::ReadAt(fd, chunk, 8, offset) != 8) break;
        const std::uint32_t size = u32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[26] = {};
            const std::size_t got = platform::ReadAt(fd, fmt, std::min<std::size_t>(size, sizeof fmt), offset + 8);
            if (got >= 2) layout.formatTag = u16(fmt);
            if (layout.formatTag == 0xFFFE && got >= 26) layout.formatTag = u16(fmt + 24);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            // Streaming writers leave the size open (0 or all ones).
            if (size != 0 && size != 0xFFFFFFFFu) layout.dataEnd = offset + 8 + static_cast<long long>(size);
            break;
        }
        offset += 8 + static_cast<long long>(size) + (size & 1);
    }
    return layout;
}

// WAV through libsndfile, reading the file itself in large blocks.
class WavReader : public SoundReader {
public:
    bool Open(FileDescriptor fd, long long fileSize, std::string& error) {
        fd_ = std::move(fd);
        const WavLayout layout = ReadWavLayout(fd_.fd, fileSize);
        // MPEG audio inside a WAV would reach the MP3 decoder through
        // libsndfile, which lets it print its complaints; such files are not
        // made for games.
        if (layout.formatTag == 0x0050 || layout.formatTag == 0x0055) {
            error = "is a WAV file holding MPEG audio, which is not played";
            return false;
        }
        // libsndfile quietly plays what is left of a WAV file cut short; a
        // cut file is damaged, so refuse it rather than play a fragment.
        if (layout.dataEnd > fileSize) {
            error = "is truncated (its header announces more audio than the file holds)";
            return false;
        }
        SF_INFO info{};
        file_.handle = sf_open_fd(fd_.fd, SFM_READ, &info, SF_FALSE);
        if (!file_.handle) {
            error = std::string("is a damaged WAV file (") + sf_strerror(nullptr) + ")";
            return false;
        }
        if (info.channels < 1 || info.channels > 2) {
            error = "has " + std::to_string(info.channels) + " channels; only mono and stereo are played";
            return false;
        }
        if (info.samplerate < kMinRate || info.samplerate > kMaxRate) {
            error = "has an unsupported sample rate of " + std::to_string(info.samplerate) + " Hz";
            return false;
        }
        if (info.frames <= 0) {
            error = "holds no audio";
            return false;
        }
        channels_ = info.channels;
        sampleRate_ = info.samplerate;
        // The data chunk was checked against the file's size above.
        announcedFrames_ = info.frames;
        return true;
    }

    long long Read(float* out, long long frames, std::string& error) override {
        const sf_count_t got = sf_readf_float(file_.handle, out, frames);
        if (sf_error(file_.handle) != SF_ERR_NO_ERROR) {
            error = std::string("decoding failed: ") + sf_strerror(file_.handle);
            return -1;
        }
        return got;
    }

    bool Rewind() override { return sf_seek(file_.handle, 0, SEEK_SET) == 0; }

private:
    FileDescriptor fd_;  // declared first: libsndfile reads it until closed
    SndFile file_;
};

std::unique_ptr<SoundReader> OpenUnguarded(const std::string& fileName, std::string& error) {
    const std::string path = ResolvePath(fileName);
    // Look before opening: opening a pipe waits for a writer, and opening a
    // device can have effects of its own.
    const auto named = platform::LookAt(path);
    if (!named) {
        error = OpenError(errno);
        return nullptr;
    }
    if (named->kind != platform::FileKind::Regular) {
        error = NotARegularFile(named->kind);
        return nullptr;
    }
    // Non-blocking, in case it was swapped for a pipe since; then look again
    // at what was actually opened.
    FileDescriptor file;
    file.fd = platform::OpenToRead(path);
    if (file.fd < 0) {
        error = OpenError(errno);
        return nullptr;
    }
    const auto opened = platform::LookAtOpen(file.fd);
    if (!opened) {
        error = platform::ErrorText(errno);
        return nullptr;
    }
    if (opened->kind != platform::FileKind::Regular) {
        error = NotARegularFile(opened->kind);
        return nullptr;
    }
    if (opened->size == 0) {
        error = "file is empty";
        return nullptr;
    }
    platform::MakeBlocking(file.fd);
    // Only WAV and MP3 are taken; anything else is refused up front.
    switch (Sniff(file.fd)) {
        case Kind::Wav: {
            auto reader = std::make_unique<WavReader>();
            if (!reader->Open(std::move(file), opened->size, error)) return nullptr;
            return reader;
        }
        case Kind::Mp3: return OpenMp3(std::move(file), opened->size, error);
        case Kind::Unknown: break;
    }
    error = kNotAudio;
    return nullptr;
}

bool DecodeUnguarded(const std::string& fileName, DecodedAudio& out, std::string& error) {
    auto reader = OpenUnguarded(fileName, error);
    if (!reader) return false;
    const int channels = reader->Channels();
    const long long maxFrames = static_cast<long long>(kMaxDecodedSeconds) * reader->SampleRate();
    if (reader->AnnouncedFrames() > maxFrames) {
        error = kTooLong;
        return false;
    }
    // Room for what the header announces, when it is believable; memory
    // otherwise grows with what is actually decoded, up to the limit.
    std::vector<float> samples;
    if (reader->AnnouncedFrames() > 0)
        samples.reserve(static_cast<std::size_t>(reader->AnnouncedFrames()) * static_cast<std::size_t>(channels));
    std::vector<float> block(static_cast<std::size_t>(kBlockFrames) * static_cast<std::size_t>(channels));
    long long total = 0;
    for (;;) {
        const long long got = reader->Read(block.data(), kBlockFrames, error);
        if (got < 0) return false;
        if (got == 0) break;
        total += got;
        if (total > maxFrames) {
            error = kTooLong;
            return false;
        }
        samples.insert(samples.end(), block.begin(), block.begin() + got * channels);
    }
    if (samples.empty()) {
        error = "holds no audio";
        return false;
    }
    out.channels = channels;
    out.sampleRate = reader->SampleRate();
    out.samples = std::move(samples);
    return true;
}

}  // namespace

std::string ResolvePath(const std::string& path) {
    if (path.empty() || Exists(path)) return path;
    // Walk component by component, keeping each one that exists as written
    // and looking up the others ignoring case.
    std::string resolved;
    size_t start = 0;
    if (path[0] == '/') {
        resolved = "/";
        start = 1;
    }
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty()) {
            std::string candidate = resolved + part;
            if (!Exists(candidate) && part != "." && part != "..") {
                std::string match = platform::FindIgnoringCase(resolved, part);
                if (match.empty()) return path;  // give up: report the name as given
                candidate = resolved + match;
            }
            resolved = candidate;
            if (end < path.size()) resolved += '/';
        }
        start = end + 1;
    }
    return resolved;
}

bool Decode(const std::string& fileName, DecodedAudio& out, std::string& error) {
    DecodedAudio decoded;
    try {
        if (!DecodeUnguarded(fileName, decoded, error)) return false;
    } catch (const std::bad_alloc&) {
        error = kTooLarge;
        return false;
    } catch (const std::length_error&) {
        error = kTooLarge;
        return false;
    }
    out = std::move(decoded);
    return true;
}

std::unique_ptr<SoundReader> SoundReader::Open(const std::string& fileName, std::string& error) {
    try {
        return OpenUnguarded(fileName, error);
    } catch (const std::bad_alloc&) {
        error = kTooLarge;
        return nullptr;
    }
}

}  // namespace Corvane::detail
