// Writes the mix, exactly as sent to the output, into a WAV file.
//
// The audio callback only copies into a preallocated ring; a thread of the
// writer's own does the file I/O.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace Corvane::detail {

// Closes a capture file (and counts it given back).
struct CloseCaptureFile {
    void operator()(SNDFILE* file) const;
};
using CaptureFile = std::unique_ptr<SNDFILE, CloseCaptureFile>;

class CaptureWriter {
public:
    // Opens `path` for a float WAV of `channels` at `rate`; false on failure
    // (with one line on standard error).
    bool Start(const std::string& path, int rate, int channels);
    // Called from the audio callback: no allocation, no blocking.
    void Push(const float* samples, std::size_t count);
    // Writes what is left, closes the file and joins the thread.
    void Finish();
    ~CaptureWriter() { Finish(); }

private:
    void Run();
    std::size_t Drain();

    CaptureFile file_;
    int channels_ = 2;
    std::vector<float> ring_;
    std::atomic<std::size_t> head_{0};  // written by the callback
    std::atomic<std::size_t> tail_{0};  // written by the writer thread
    std::atomic<std::size_t> dropped_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
    std::string path_;
};

}  // namespace Corvane::detail
