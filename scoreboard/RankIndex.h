// One game's rows in rank order, as (score, seq) alone, answering "how many
// rows rank above this one" without a scan: counting them with SQL reads
// every index entry above, which is slow for a low score in a long table.
//
// Kept as sorted blocks: an insert moves at most one block's entries, and a
// rank sums the sizes of the blocks before its own, a few thousand at most.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace scoreboard {

class RankIndex {
public:
    // Adds a row; the same (score, seq) twice is a caller's mistake.
    void Insert(std::int32_t score, std::int64_t seq) {
        const Key key{score, seq};
        ++size_;
        if (blocks_.empty()) {
            blocks_.push_back({key});
            return;
        }
        auto block = BlockFor(key);
        if (block == blocks_.end()) --block;  // ranks after every row: the last block
        block->insert(std::upper_bound(block->begin(), block->end(), key), key);
        if (block->size() > 2 * kBlockRows) {
            std::vector<Key> tail(block->begin() + kBlockRows, block->end());
            block->resize(kBlockRows);
            blocks_.insert(block + 1, std::move(tail));
        }
    }

    // 1 + the rows with a higher score, or the same score and a lower seq.
    std::int64_t Rank(std::int32_t score, std::int64_t seq) const {
        const Key key{score, seq};
        std::int64_t above = 0;
        const auto block = BlockFor(key);
        for (auto b = blocks_.begin(); b != block; ++b) above += std::ssize(*b);
        if (block != blocks_.end()) above += std::lower_bound(block->begin(), block->end(), key) - block->begin();
        return above + 1;
    }

    std::int64_t Size() const { return size_; }

private:
    static constexpr std::size_t kBlockRows = 1024;

    struct Key {
        std::int32_t score;
        std::int64_t seq;
        // Rank order: best score first, then first stored.
        bool operator<(const Key& o) const { return score != o.score ? score > o.score : seq < o.seq; }
    };

    // The first block whose last row does not rank before key.
    std::vector<std::vector<Key>>::const_iterator BlockFor(const Key& key) const {
        return std::lower_bound(blocks_.begin(), blocks_.end(), key,
                                [](const std::vector<Key>& b, const Key& k) { return b.back() < k; });
    }
    std::vector<std::vector<Key>>::iterator BlockFor(const Key& key) {
        return std::lower_bound(blocks_.begin(), blocks_.end(), key,
                                [](const std::vector<Key>& b, const Key& k) { return b.back() < k; });
    }

    std::vector<std::vector<Key>> blocks_;  // each sorted, none empty, in order
    std::int64_t size_ = 0;
};

}  // namespace scoreboard
