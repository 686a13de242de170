#include "common/Log.h"

#include "Corvane.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace Corvane {
namespace {

std::atomic<MessageSink> sink{nullptr};

}  // namespace

void SetMessageSink(MessageSink newSink) { sink.store(newSink, std::memory_order_release); }

namespace detail {

void Say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (MessageSink to = sink.load(std::memory_order_acquire)) {
        to(line.c_str());
        return;
    }
    // One write for the whole line, so lines from two threads never mix.
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

}  // namespace detail
}  // namespace Corvane
