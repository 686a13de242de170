#include "output/CaptureWriter.h"

#include "common/Log.h"
#include "common/NativeCount.h"

#include <sndfile.h>

#include <chrono>
#include <cstdio>

namespace Corvane::detail {

void CloseCaptureFile::operator()(SNDFILE* file) const {
    sf_close(file);
    CountReturned(Native::CaptureFile);
}

bool CaptureWriter::Start(const std::string& path, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_.reset(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file_) {
        Say("sound: cannot write the capture file \"%s\": %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    CountTaken(Native::CaptureFile);
    path_ = path;
    channels_ = channels;
    // Four seconds of slack: the writer drains every 20 ms.
    ring_.assign(static_cast<std::size_t>(rate) * channels * 4, 0.0f);
    head_ = tail_ = dropped_ = 0;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void CaptureWriter::Push(const float* samples, std::size_t count) {
    if (!file_) return;
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t tail = tail_.load(std::memory_order_acquire);
    const std::size_t size = ring_.size();
    if (size - (head - tail) < count) {
        dropped_.fetch_add(count, std::memory_order_relaxed);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) ring_[(head + i) % size] = samples[i];
    head_.store(head + count, std::memory_order_release);
}

std::size_t CaptureWriter::Drain() {
    const std::size_t head = head_.load(std::memory_order_acquire);
    std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t size = ring_.size();
    std::size_t written = 0;
    while (tail != head) {
        const std::size_t start = tail % size;
        std::size_t run = std::min(head - tail, size - start);
        run -= run % channels_;
        if (run == 0) break;
        sf_write_float(file_.get(), ring_.data() + start, static_cast<sf_count_t>(run));
        tail += run;
        written += run;
        tail_.store(tail, std::memory_order_release);
    }
    return written;
}

void CaptureWriter::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(20));
        lock.unlock();
        Drain();
        lock.lock();
    }
}

void CaptureWriter::Finish() {
    if (!file_) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    Drain();
    if (std::size_t lost = dropped_.load()) {
        Say("sound: the capture \"%s\" lost %zu samples (the disk was too slow)\n", path_.c_str(), lost);
    }
    file_.reset();
}

}  // namespace Corvane::detail
