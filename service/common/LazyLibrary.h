// A shared library opened on first use instead of at start. The HTTP client
// and the speech engine each bring some thirty libraries of their own, and
// loading them before main() kept the first cluck waiting 15-20 ms for code
// that runs only at a round's end.
#pragma once

#include <mutex>

namespace Corvane::detail {

class LazyLibrary {
public:
    // `soname` is the runtime name the library was built against; `topic`
    // starts the line that says it is missing ("scores", "sound").
    LazyLibrary(const char* soname, const char* topic) : soname_(soname), topic_(topic) {}
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // The address of `symbol`, opening the library on the first call;
    // nullptr when the library or the symbol is missing, said once on stderr.
    void* Find(const char* symbol);

    // Typed: Find<decltype(curl_easy_init)>("curl_easy_init").
    template <typename Function>
    Function* Find(const char* symbol) {
        return reinterpret_cast<Function*>(Find(symbol));
    }

private:
    const char* soname_;
    const char* topic_;
    std::once_flag opened_;
    void* handle_ = nullptr;  // never closed: other threads may be in it at exit
};

}  // namespace Corvane::detail
