#include "Decoder.h"

#include <sndfile.h>
#include <strings.h>

#include <dirent.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Corvane::detail {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The entry of `dir` whose name matches `name` ignoring case, or "".
std::string FindIgnoringCase(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name.c_str()) == 0) {
            found = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// Keeps the handle's lifetime tied to the decode.
struct SndFile {
    SNDFILE* handle = nullptr;
    ~SndFile() {
        if (handle) sf_close(handle);
    }
};

// The end offset of the "data" chunk a RIFF/WAVE header announces, or -1.
long long WavDataBytes(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    unsigned char hdr[12];
    long long result = -1;
    if (std::fread(hdr, 1, 12, f) == 12 && std::memcmp(hdr, "RIFF", 4) == 0 && std::memcmp(hdr + 8, "WAVE", 4) == 0) {
        long long offset = 12;
        unsigned char chunk[8];
        while (std::fread(chunk, 1, 8, f) == 8) {
            unsigned long size =
                chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) | (static_cast<unsigned long>(chunk[7]) << 24);
            offset += 8;
            if (std::memcmp(chunk, "data", 4) == 0) {
                // Streaming writers leave the size open (0 or all ones).
                if (size != 0 && size != 0xFFFFFFFFul) result = offset + static_cast<long long>(size);
                break;
            }
            offset += size + (size & 1);
            if (std::fseek(f, offset, SEEK_SET) != 0) break;
        }
    }
    std::fclose(f);
    return result;
}

enum class Kind { Unknown, Wav, Mp3 };

Kind Sniff(const std::string& path) {
    unsigned char head[12] = {};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Kind::Unknown;
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (got >= 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RIFX", 4) == 0) &&
        std::memcmp(head + 8, "WAVE", 4) == 0)
        return Kind::Wav;
    if (got >= 3 && std::memcmp(head, "ID3", 3) == 0) return Kind::Mp3;
    // An MPEG audio frame header: 11 sync bits, a layer, a usable bitrate.
    if (got >= 3 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x06) != 0 && (head[2] & 0xF0) != 0xF0)
        return Kind::Mp3;
    return Kind::Unknown;
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
                std::string match = FindIgnoringCase(resolved, part);
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
    const std::string path = ResolvePath(fileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a folder, not a sound file";
        return false;
    }
    if (st.st_size == 0) {
        error = "file is empty";
        return false;
    }

    // Only WAV and MP3 are taken; anything else is refused up front, before
    // the MP3 decoder prints its own complaints about random bytes.
    const Kind kind = Sniff(path);
    if (kind == Kind::Unknown) {
        error = "is not a WAV or MP3 file";
        return false;
    }

    SF_INFO info{};
    if (kind == Kind::Mp3) info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SndFile file;
    file.handle = sf_open(path.c_str(), SFM_READ, &info);
    if (!file.handle) {
        error = sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2) {
        error = "has " + std::to_string(info.channels) + " channels; only mono and stereo are played";
        return false;
    }
    if (info.samplerate < 8000 || info.samplerate > 192000) {
        error = "has an unsupported sample rate of " + std::to_string(info.samplerate) + " Hz";
        return false;
    }
    if (info.frames <= 0) {
        error = "holds no audio";
        return false;
    }

    // The frame count of compressed formats is an estimate until decoded, so
    // read in blocks until the end rather than trusting it.
    std::vector<float> samples;
    samples.reserve(static_cast<size_t>(info.frames) * info.channels);
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    for (;;) {
        sf_count_t got = sf_readf_float(file.handle, block.data(), 4096);
        if (got <= 0) break;
        samples.insert(samples.end(), block.begin(), block.begin() + got * info.channels);
    }
    if (sf_error(file.handle) != SF_ERR_NO_ERROR) {
        error = std::string("decoding failed: ") + sf_strerror(file.handle);
        return false;
    }
    if (samples.empty()) {
        error = "holds no audio";
        return false;
    }
    // libsndfile quietly plays what is left of a WAV file cut short; a cut
    // file is damaged, so refuse it rather than play a fragment.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
        long long declared = WavDataBytes(path);
        long long available = static_cast<long long>(st.st_size);
        if (declared > 0 && declared > available) {
            error = "is truncated (its header announces more audio than the file holds)";
            return false;
        }
    }

    out.channels = info.channels;
    out.sampleRate = info.samplerate;
    out.samples = std::move(samples);
    return true;
}

}  // namespace Corvane::detail
