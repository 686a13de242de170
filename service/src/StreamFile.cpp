#include "StreamFile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace Corvane::detail {
namespace {

constexpr std::size_t kReadBuffer = 64 * 1024;

sf_count_t FileLength(void* file) {
    struct stat st {};
    return ::fstat(::fileno(static_cast<std::FILE*>(file)), &st) == 0 ? st.st_size : -1;
}

sf_count_t SeekTo(sf_count_t offset, int whence, void* file) {
    auto* f = static_cast<std::FILE*>(file);
    if (::fseeko(f, offset, whence) != 0) return -1;
    return ::ftello(f);
}

sf_count_t ReadBytes(void* out, sf_count_t bytes, void* file) {
    return static_cast<sf_count_t>(std::fread(out, 1, static_cast<std::size_t>(bytes), static_cast<std::FILE*>(file)));
}

sf_count_t WriteNothing(const void*, sf_count_t, void*) { return 0; }

sf_count_t TellPosition(void* file) { return ::ftello(static_cast<std::FILE*>(file)); }

// WAV, or an MP3 (an ID3 tag or an MPEG audio frame header) first.
bool LooksLikeWavOrMp3(std::FILE* f, bool& mp3) {
    unsigned char head[12] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    std::rewind(f);
    mp3 = false;
    if (got >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) return true;
    mp3 = (got >= 3 && std::memcmp(head, "ID3", 3) == 0) || (got >= 3 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 &&
                                                             (head[1] & 0x06) != 0 && (head[2] & 0xF0) != 0xF0);
    return mp3;
}

}  // namespace

std::unique_ptr<StreamFile> StreamFile::Open(const std::string& path) {
    // Non-blocking, so that a FIFO under a sound's name cannot hang us; only
    // regular files are streamed.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::unique_ptr<StreamFile> stream(new StreamFile);
    stream->file_ = ::fdopen(fd, "rb");
    if (!stream->file_) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(stream->file_, nullptr, _IOFBF, kReadBuffer);
    bool mp3 = false;
    if (!LooksLikeWavOrMp3(stream->file_, mp3)) return nullptr;

    SF_VIRTUAL_IO io{&FileLength, &SeekTo, &ReadBytes, &WriteNothing, &TellPosition};
    SF_INFO info{};
    if (mp3) info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    stream->sound_ = sf_open_virtual(&io, SFM_READ, &info, stream->file_);
    if (!stream->sound_ || info.channels < 1 || info.channels > 2 || info.samplerate < 8000 ||
        info.samplerate > 192000 || info.frames <= 0)
        return nullptr;
    stream->channels_ = info.channels;
    stream->sampleRate_ = info.samplerate;
    stream->frames_ = info.frames;
    return stream;
}

StreamFile::~StreamFile() {
    if (sound_) sf_close(sound_);
    if (file_) std::fclose(file_);
}

long long StreamFile::Read(float* out, long long frames, std::string& error) {
    const sf_count_t got = sf_readf_float(sound_, out, frames);
    if (sf_error(sound_) != SF_ERR_NO_ERROR) {
        error = sf_strerror(sound_);
        return -1;
    }
    return got;
}

bool StreamFile::Rewind() { return sf_seek(sound_, 0, SEEK_SET) == 0; }

}  // namespace Corvane::detail
