#include "FakePlatform.h"

#include "Platform.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace fake {
namespace {

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id driver;
    std::int64_t now = 0;
    int awake = 0;  // other threads currently running (not asleep)
    bool released = false;
    std::multiset<std::int64_t> deadlines;
    std::vector<std::thread> threads;
    std::deque<Key> keys;
    std::deque<std::optional<std::string>> lines;
    std::deque<int> rands;
    // Remembered from SetRandState; drawn from once the scripted values are
    // used up, and only if a test set it (otherwise rand gives 0 then).
    platform::Generator generator = platform::Generator::Unseeded(platform::NativeGeneratorKind());
    bool generatorSet = false;
    bool failThreads = false;
};

State& S() {
    static State* state = new State;
    return *state;
}

// Moves the clock to `target`, stopping at each sleeper's deadline until the
// threads it woke are asleep again or finished.
void AdvanceTo(std::unique_lock<std::mutex>& lock, std::int64_t target) {
    State& s = S();
    for (;;) {
        s.changed.wait(lock, [&] { return s.awake <= 0; });
        auto next = s.deadlines.begin();
        if (next == s.deadlines.end() || *next > target) break;
        s.now = std::max(s.now, *next);
        // Each sleeper due now counts as awake from here, so the wait below
        // cannot pass before it has run.
        while (!s.deadlines.empty() && *s.deadlines.begin() <= s.now) {
            s.deadlines.erase(s.deadlines.begin());
            ++s.awake;
        }
        s.changed.notify_all();
    }
    s.now = std::max(s.now, target);
}

}  // namespace

void Reset() {
    Finish();
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.driver = std::this_thread::get_id();
    s.now = 0;
    s.awake = 0;
    s.released = false;
    s.deadlines.clear();
    s.keys.clear();
    s.lines.clear();
    s.rands.clear();
    s.generator = platform::Generator::Unseeded(platform::NativeGeneratorKind());
    s.generatorSet = false;
    s.failThreads = false;
}

void Finish() {
    State& s = S();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(s.mutex);
        s.released = true;
        threads.swap(s.threads);
    }
    s.changed.notify_all();
    for (auto& t : threads) t.join();
}

std::int64_t Now() {
    std::lock_guard lock(S().mutex);
    return S().now;
}

void ScriptKeys(const std::vector<Key>& keys) {
    std::lock_guard lock(S().mutex);
    S().keys.assign(keys.begin(), keys.end());
}

void ScriptLines(const std::vector<std::optional<std::string>>& lines) {
    std::lock_guard lock(S().mutex);
    S().lines.assign(lines.begin(), lines.end());
}

void ScriptRand(const std::vector<int>& values) {
    std::lock_guard lock(S().mutex);
    S().rands.assign(values.begin(), values.end());
}

void FailThreadStarts(bool fail) {
    std::lock_guard lock(S().mutex);
    S().failThreads = fail;
}

int KeysLeft() {
    std::lock_guard lock(S().mutex);
    return static_cast<int>(S().keys.size());
}

}  // namespace fake

namespace platform {

using fake::S;

int _getch() {
    auto& s = S();
    std::unique_lock lock(s.mutex);
    if (s.keys.empty()) {
        fake::AdvanceTo(lock, s.now);  // let sleepers settle; input has ended
        return kEndOfInput;
    }
    const fake::Key key = s.keys.front();
    s.keys.pop_front();
    fake::AdvanceTo(lock, s.now + key.afterMs);
    return key.byte;
}

bool ReadLine(std::string& line) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    if (s.lines.empty() || !s.lines.front()) {
        if (!s.lines.empty()) s.lines.pop_front();
        return false;
    }
    line = *s.lines.front();
    s.lines.pop_front();
    return true;
}

std::intptr_t _beginthread(void (*routine)(void*), unsigned, void* arg) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    if (s.failThreads) return -1;
    ++s.awake;
    s.threads.emplace_back([routine, arg] {
        routine(arg);
        std::lock_guard done(S().mutex);
        --S().awake;
        S().changed.notify_all();
    });
    return 1;
}

void Sleep(std::uint32_t ms) {
    auto& s = S();
    std::unique_lock lock(s.mutex);
    const std::int64_t deadline = s.now + ms;
    if (std::this_thread::get_id() == s.driver) {
        fake::AdvanceTo(lock, deadline);
        return;
    }
    s.deadlines.insert(deadline);
    --s.awake;
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return s.now >= deadline || s.released; });
}

std::uint32_t Milliseconds() { return static_cast<std::uint32_t>(fake::Now()); }

int rand() {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    if (s.rands.empty()) return s.generatorSet ? s.generator.Next() : 0;
    int value = s.rands.front();
    s.rands.pop_front();
    return value;
}

}  // namespace platform

namespace platform {

Generator GetRandState() {
    std::lock_guard lock(fake::S().mutex);
    return fake::S().generator;
}

void SetRandState(const Generator& generator) {
    std::lock_guard lock(fake::S().mutex);
    fake::S().generator = generator;
    fake::S().generatorSet = true;
}

}  // namespace platform
