// Owners for libcurl's handles, so each is freed once on every way out of a
// transfer. Move-only; empty when curl could not make the handle.
#pragma once

#include "common/NativeCount.h"

#include <curl/curl.h>

#include <memory>

namespace Corvane::detail {

struct CurlEasyCleanup {
    void operator()(CURL* easy) const {
        curl_easy_cleanup(easy);
        CountReturned(Native::CurlEasy);
    }
};
struct CurlMultiCleanup {
    void operator()(CURLM* multi) const {
        curl_multi_cleanup(multi);
        CountReturned(Native::CurlMulti);
    }
};
struct CurlSlistFree {
    void operator()(curl_slist* list) const {
        curl_slist_free_all(list);
        CountReturned(Native::CurlList);
    }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlSlistFree>;

inline CurlEasy MakeCurlEasy() {
    CurlEasy easy(curl_easy_init());
    if (easy) CountTaken(Native::CurlEasy);
    return easy;
}
inline CurlMulti MakeCurlMulti() {
    CurlMulti multi(curl_multi_init());
    if (multi) CountTaken(Native::CurlMulti);
    return multi;
}

// Appends one line; false, with `list` as it was, when curl could not.
inline bool Append(CurlList& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    if (!list) CountTaken(Native::CurlList);
    (void)list.release();  // `grown` heads the same list, or a new one when it was empty
    list.reset(grown);
    return true;
}

// An easy handle in a multi handle, taken out again before either is freed:
// declare it after both.
class CurlMultiMember {
public:
    CurlMultiMember(CURLM* multi, CURL* easy)
        : multi_(multi), easy_(easy), added_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
    ~CurlMultiMember() {
        if (added_) curl_multi_remove_handle(multi_, easy_);
    }
    CurlMultiMember(const CurlMultiMember&) = delete;
    CurlMultiMember& operator=(const CurlMultiMember&) = delete;

    bool Added() const { return added_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool added_;
};

}  // namespace Corvane::detail
