// libcurl's functions as the service calls them, each opening libcurl on
// first use (see LazyLibrary.h). Without libcurl every call fails the way
// libcurl itself reports a failure, so scores wait in the outbox.
#include "common/LazyLibrary.h"

#include <curl/curl.h>

#include <cstdarg>

namespace {

using Corvane::detail::LazyLibrary;

LazyLibrary& Curl() {
    static LazyLibrary library("libcurl.so.4", "scores");
    return library;
}

}  // namespace

extern "C" {

CURLcode curl_global_init(long flags) {
    static auto* const kReal = Curl().Find<decltype(curl_global_init)>("curl_global_init");
    return kReal ? kReal(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init() {
    static auto* const kReal = Curl().Find<decltype(curl_easy_init)>("curl_easy_init");
    return kReal ? kReal() : nullptr;
}

// va_start follows an enum parameter here, as libcurl's own declarations
// have it; every ABI passes the enum as the int it is, but clang warns.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// Every option's value is a long, a pointer or a curl_off_t, told apart by
// the option's number, as libcurl itself reads it.
CURLcode curl_easy_setopt(CURL* easy, CURLoption option, ...) {
    static auto* const kReal = Curl().Find<decltype(curl_easy_setopt)>("curl_easy_setopt");
    if (!kReal) return CURLE_FAILED_INIT;
    std::va_list args;
    va_start(args, option);
    CURLcode result = CURLE_OK;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = kReal(easy, option, va_arg(args, long));
    } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        result = kReal(easy, option, va_arg(args, curl_off_t));
    } else {
        result = kReal(easy, option, va_arg(args, void*));
    }
    va_end(args);
    return result;
}

// Every query's argument is a pointer to where the answer goes.
CURLcode curl_easy_getinfo(CURL* easy, CURLINFO info, ...) {
    static auto* const kReal = Curl().Find<decltype(curl_easy_getinfo)>("curl_easy_getinfo");
    if (!kReal) return CURLE_FAILED_INIT;
    std::va_list args;
    va_start(args, info);
    const CURLcode result = kReal(easy, info, va_arg(args, void*));
    va_end(args);
    return result;
}

#ifdef __clang__
#pragma clang diagnostic pop
#endif

CURLcode curl_easy_perform(CURL* easy) {
    static auto* const kReal = Curl().Find<decltype(curl_easy_perform)>("curl_easy_perform");
    return kReal ? kReal(easy) : CURLE_FAILED_INIT;
}

void curl_easy_cleanup(CURL* easy) {
    static auto* const kReal = Curl().Find<decltype(curl_easy_cleanup)>("curl_easy_cleanup");
    if (kReal) kReal(easy);
}

const char* curl_easy_strerror(CURLcode code) {
    static auto* const kReal = Curl().Find<decltype(curl_easy_strerror)>("curl_easy_strerror");
    return kReal ? kReal(code) : "libcurl could not be loaded";
}

time_t curl_getdate(const char* text, const time_t* unused) {
    static auto* const kReal = Curl().Find<decltype(curl_getdate)>("curl_getdate");
    return kReal ? kReal(text, unused) : -1;
}

CURLM* curl_multi_init() {
    static auto* const kReal = Curl().Find<decltype(curl_multi_init)>("curl_multi_init");
    return kReal ? kReal() : nullptr;
}

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* easy) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_add_handle)>("curl_multi_add_handle");
    return kReal ? kReal(multi, easy) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* easy) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_remove_handle)>("curl_multi_remove_handle");
    return kReal ? kReal(multi, easy) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_perform(CURLM* multi, int* running) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_perform)>("curl_multi_perform");
    return kReal ? kReal(multi, running) : CURLM_INTERNAL_ERROR;
}

CURLMcode curl_multi_poll(CURLM* multi, curl_waitfd* extra, unsigned int extraCount, int timeoutMs, int* ready) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_poll)>("curl_multi_poll");
    return kReal ? kReal(multi, extra, extraCount, timeoutMs, ready) : CURLM_INTERNAL_ERROR;
}

CURLMsg* curl_multi_info_read(CURLM* multi, int* left) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_info_read)>("curl_multi_info_read");
    return kReal ? kReal(multi, left) : nullptr;
}

CURLMcode curl_multi_cleanup(CURLM* multi) {
    static auto* const kReal = Curl().Find<decltype(curl_multi_cleanup)>("curl_multi_cleanup");
    return kReal ? kReal(multi) : CURLM_INTERNAL_ERROR;
}

curl_slist* curl_slist_append(curl_slist* list, const char* line) {
    static auto* const kReal = Curl().Find<decltype(curl_slist_append)>("curl_slist_append");
    return kReal ? kReal(list, line) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
    static auto* const kReal = Curl().Find<decltype(curl_slist_free_all)>("curl_slist_free_all");
    if (kReal) kReal(list);
}

}  // extern "C"
