// The rule every database store keeps: puts wait for its one writer thread,
// which takes all that wait at the time into one transaction and one sync (a
// group commit), and answers each put only once that commit is durable.
#pragma once

#include "store/Store.h"
#include "store/WriteQueue.h"

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace scoreboard {

class GroupCommitStore : public ScoreStore {
public:
    // Queued for the writer, whose thread runs `done`; refused at once (busy)
    // once the store is closing.
    void PutAsync(const ScoreRecord& record, PutCallback done) override;

protected:
    // Puts in one commit at most.
    static constexpr std::size_t kMaxBatch = 1024;

    GroupCommitStore() = default;
    ~GroupCommitStore() override;
    GroupCommitStore(const GroupCommitStore&) = delete;
    GroupCommitStore& operator=(const GroupCommitStore&) = delete;

    // Each derived constructor calls this last, once all the writer uses is
    // ready. The writer wakes (Woken) at least every `wake`, puts or not.
    void StartWriter(std::chrono::milliseconds wake = std::chrono::milliseconds::max());
    // Commits what is queued, then stops the writer. Each derived destructor
    // calls this first, while all the writer uses is still there.
    void StopWriter();

    // On the writer's thread: stores the batch in one transaction and returns
    // each put's outcome, in the batch's order, once the commit is durable.
    // Throws to fail the whole batch, of which nothing is then stored.
    virtual std::vector<PutResult> CommitBatch(const std::vector<PendingPut>& batch) = 0;
    // On the writer's thread, each time it wakes, before it commits.
    virtual void Woken() {}

private:
    void WriterLoop(std::chrono::milliseconds wake);

    WriteQueue queue_;
    std::thread writer_;
};

}  // namespace scoreboard
