#include "store/GroupCommitStore.h"

#include "store/StoreObserver.h"

#include <exception>
#include <utility>

namespace scoreboard {

GroupCommitStore::~GroupCommitStore() { StopWriter(); }

void GroupCommitStore::PutAsync(const ScoreRecord& record, PutCallback done) { queue_.Push(record, std::move(done)); }

void GroupCommitStore::StartWriter(std::chrono::milliseconds wake) {
    writer_ = std::thread([this, wake] { WriterLoop(wake); });
}

void GroupCommitStore::StopWriter() {
    queue_.Close();
    if (writer_.joinable()) writer_.join();
}

void GroupCommitStore::WriterLoop(std::chrono::milliseconds wake) {
    std::vector<PendingPut> batch;
    while (queue_.Take(batch, kMaxBatch, wake)) {
        Woken();
        if (batch.empty()) continue;
        std::vector<PutResult> results;
        std::exception_ptr error;
        try {
            results = CommitBatch(batch);
        } catch (...) {
            error = std::current_exception();
        }
        if (auto* observer = StoreObserverOf()) error ? observer->DatabaseFailed() : observer->Committed(batch.size());
        // Only now, with the commit durable, does anyone hear of it.
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (error)
                batch[i].done({}, error);
            else
                batch[i].done(std::move(results[i]), nullptr);
        }
    }
}

}  // namespace scoreboard
