// A put that holds the caller until its outcome is durable: what tests ask
// of a store, which the server itself never needs.
#pragma once

#include "store/Store.h"

#include <exception>
#include <future>
#include <utility>

namespace scoreboard_test {

inline scoreboard::PutResult AwaitPut(scoreboard::ScoreStore& store, const scoreboard::ScoreRecord& record) {
    std::promise<scoreboard::PutResult> promise;
    auto future = promise.get_future();
    store.PutAsync(record, [&promise](scoreboard::PutResult result, std::exception_ptr error) {
        if (error)
            promise.set_exception(error);
        else
            promise.set_value(std::move(result));
    });
    return future.get();
}

}  // namespace scoreboard_test
