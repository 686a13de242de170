#include "decoding/Readers.h"

#include <mpg123.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace Corvane::detail {
namespace {

// MP3 goes to libmpg123 directly rather than through libsndfile, which gives
// no way to keep the decoder from printing its own warnings on stderr. Its
// many small reads come from a buffer of ours, not the file.
//
// Only layer III is decoded. libmpg123's layer II decoder prints a warning
// on stderr for a joint-stereo frame whose stereo bound lies past its last
// subband, whatever its quiet flag says; and layers I and II are not MP3.
// mpg123_read decodes whatever frame it finds next, so frames are read one at
// a time and each one's layer is looked at before it is decoded.
class Mp3Reader : public SoundReader {
public:
    ~Mp3Reader() override {
        if (handle_) {
            mpg123_close(handle_);
            mpg123_delete(handle_);
        }
        if (file_) std::fclose(file_);
    }

    bool Open(FileDescriptor fd, long long fileSize, std::string& error) {
        static std::once_flag ready;
        std::call_once(ready, [] { mpg123_init(); });
        if (::lseek(fd.fd, 0, SEEK_SET) != 0 || !(file_ = ::fdopen(fd.fd, "rb"))) {
            error = std::strerror(errno);
            return false;
        }
        fd.fd = -1;  // the stream owns it now
        std::setvbuf(file_, nullptr, _IOFBF, kReadBuffer);
        int status = MPG123_OK;
        handle_ = mpg123_new(nullptr, &status);
        if (!handle_) {
            error = std::string("the MP3 decoder could not start: ") + mpg123_plain_strerror(status);
            return false;
        }
        // Gapless, so the music loops without a seam; no resampling; ID3 tags
        // skipped unread, since their sizes are not to be trusted either.
        mpg123_param(handle_, MPG123_ADD_FLAGS,
                     MPG123_QUIET | MPG123_GAPLESS | MPG123_FORCE_FLOAT | MPG123_NO_FRANKENSTEIN | MPG123_SKIP_ID3V2,
                     0.0);
        mpg123_param(handle_, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0.0);
        mpg123_param(handle_, MPG123_VERBOSE, 0, 0.0);
        mpg123_format_none(handle_);
        const long* rates = nullptr;
        std::size_t rateCount = 0;
        mpg123_rates(&rates, &rateCount);
        for (std::size_t i = 0; i < rateCount; ++i) {
            mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
        }
        if (mpg123_replace_reader_handle(handle_, &ReadBytes, &SeekTo, nullptr) != MPG123_OK ||
            mpg123_open_handle(handle_, file_) != MPG123_OK) {
            error = std::string("decoding failed: ") + mpg123_strerror(handle_);
            return false;
        }
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK) {
            error = kNotAudio;  // not one MPEG audio frame in it
            return false;
        }
        if (encoding != MPG123_ENC_FLOAT_32 || channels < 1 || channels > 2 || rate < kMinRate || rate > kMaxRate) {
            error = "has a format the MP3 decoder cannot give as float samples";
            return false;
        }
        // The first frame has been read, not yet decoded.
        framePending_ = true;
        if (!IsLayerThree(error)) return false;
        channels_ = channels;
        sampleRate_ = static_cast<int>(rate);
        // A Xing or Info header's frame count is only a claim: believed only
        // when the file is big enough to hold that much at the lowest bitrate
        // (8 kbit/s, 48 frames a byte at 48 kHz).
        const off_t length = mpg123_length(handle_);
        if (length > 0 && length <= fileSize * 48) announcedFrames_ = length;
        return true;
    }

    long long Read(float* out, long long frames, std::string& error) override {
        const std::size_t wanted = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
        std::size_t got = 0;
        while (got < wanted) {
            if (leftOver_ < decoded_.size()) {
                const std::size_t n = std::min(wanted - got, decoded_.size() - leftOver_);
                std::copy_n(decoded_.begin() + static_cast<std::ptrdiff_t>(leftOver_), n, out + got);
                leftOver_ += n;
                got += n;
                continue;
            }
            const int status = NextFrame(error);
            if (status == MPG123_DONE) break;
            if (status != MPG123_OK) return -1;
        }
        return static_cast<long long>(got) / channels_;
    }

    bool Rewind() override {
        if (mpg123_seek(handle_, 0, SEEK_SET) != 0) return false;
        // The seek leaves the first frame read, not yet decoded.
        framePending_ = true;
        decoded_.clear();
        leftOver_ = 0;
        return true;
    }

private:
    static constexpr std::size_t kReadBuffer = 64 * 1024;

    static ssize_t ReadBytes(void* file, void* out, std::size_t bytes) {
        auto* f = static_cast<std::FILE*>(file);
        const std::size_t got = std::fread(out, 1, bytes, f);
        return got == 0 && std::ferror(f) ? -1 : static_cast<ssize_t>(got);
    }
    static off_t SeekTo(void* file, off_t offset, int whence) {
        auto* f = static_cast<std::FILE*>(file);
        return ::fseeko(f, offset, whence) == 0 ? ::ftello(f) : -1;
    }

    // False, with the reason in `error`, unless the frame just read is layer
    // III. Frames of other layers are refused before they reach the decoder.
    bool IsLayerThree(std::string& error) {
        mpg123_frameinfo info{};
        if (mpg123_info(handle_, &info) != MPG123_OK) {
            error = std::string("decoding failed: ") + mpg123_strerror(handle_);
            return false;
        }
        if (info.layer == 3) return true;
        error = "holds MPEG audio layer " + std::string(info.layer == 1 ? "I" : "II") + ", not MP3 (layer III)";
        return false;
    }

    // Reads the next frame (unless one is pending), checks it and decodes it
    // into decoded_: MPG123_OK, MPG123_DONE at the end, or an error with the
    // reason in `error`.
    int NextFrame(std::string& error) {
        if (!framePending_) {
            const int status = mpg123_framebyframe_next(handle_);
            if (status == MPG123_DONE) return status;
            if (status == MPG123_NEW_FORMAT) {
                long newRate = 0;
                int newChannels = 0;
                int encoding = 0;
                mpg123_getformat(handle_, &newRate, &newChannels, &encoding);
                if (newRate != sampleRate_ || newChannels != channels_) {
                    error = "changes its sample rate or channels partway";
                    return MPG123_ERR;
                }
            } else if (status != MPG123_OK) {
                error = std::string("decoding failed: ") + mpg123_strerror(handle_);
                return MPG123_ERR;
            }
        }
        framePending_ = false;
        if (!IsLayerThree(error)) return MPG123_ERR;
        off_t number = 0;
        unsigned char* audio = nullptr;
        std::size_t bytes = 0;
        if (mpg123_framebyframe_decode(handle_, &number, &audio, &bytes) != MPG123_OK) {
            error = std::string("decoding failed: ") + mpg123_strerror(handle_);
            return MPG123_ERR;
        }
        const auto* samples = reinterpret_cast<const float*>(audio);
        decoded_.assign(samples, samples + bytes / sizeof(float));
        leftOver_ = 0;
        return MPG123_OK;
    }

    std::FILE* file_ = nullptr;
    mpg123_handle* handle_ = nullptr;
    bool framePending_ = false;   // a frame read and not yet decoded
    std::vector<float> decoded_;  // the last frame decoded, from leftOver_ on not yet handed out
    std::size_t leftOver_ = 0;
};

}  // namespace

std::unique_ptr<SoundReader> OpenMp3(FileDescriptor file, long long fileSize, std::string& error) {
    auto reader = std::make_unique<Mp3Reader>();
    if (!reader->Open(std::move(file), fileSize, error)) return nullptr;
    return reader;
}

}  // namespace Corvane::detail
