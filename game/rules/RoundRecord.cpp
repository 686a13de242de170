#include "RoundRecord.h"

#include <array>
#include <cstddef>
#include <optional>

// The binary form, before base64url:
//   varint version (always first, so that a newer game's record is named as
//     such and not as damaged)
//   varint token length, the token's bytes
//   byte chicken, byte aim, byte generator kind
//   byte state word count (0 or the kind's count), each word 4 bytes LE
//   varint key count
//   the keys as bits, most significant first: 3 bits of action, then the
//     milliseconds since the previous key (the first: since the start),
//     modulo 2^32, as an order-6 exponential Golomb code; zero bits to the
//     byte's end
//   CRC-32 (IEEE) of all the bytes before it, 4 bytes LE
// A key at 10 a second takes about 12 bits.
namespace round_rules {
namespace {

constexpr int kGolombOrder = 6;
constexpr int kMinKeyBits = 3 + kGolombOrder + 1;
constexpr int kMaxGolombZeros = 32 - kGolombOrder + 1;  // a delta is below 2^32
constexpr int kActionBits = 3;
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t c = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

void PutVarint(std::vector<std::uint8_t>& out, std::uint32_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80U));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void Put(std::uint64_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ == 0) out_.push_back(0);
            if (((value >> i) & 1U) != 0) out_.back() |= static_cast<std::uint8_t>(0x80U >> used_);
            used_ = (used_ + 1) % 8;
        }
    }

private:
    std::vector<std::uint8_t>& out_;
    int used_ = 0;  // bits of the last byte taken
};

int BitLength(std::uint64_t value) {
    int n = 0;
    for (; value != 0; value >>= 1) ++n;
    return n;
}

std::string ToBase64(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        for (int k = 3; k >= 0; --k) text.push_back(kAlphabet[(v >> (6 * k)) & 63U]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
        for (std::size_t k = 0; k <= rest; ++k) text.push_back(kAlphabet[(v >> (6 * (3 - k))) & 63U]);
    }
    return text;
}

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// Only the one spelling ToBase64 gives: no padding, no stray bits.
std::optional<std::vector<std::uint8_t>> FromBase64(std::string_view text) {
    if (text.size() % 4 == 1) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const int v = Sextet(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1U << bits) - 1;
        }
    }
    if (acc != 0) return std::nullopt;
    return bytes;
}

// Reads the binary form; every read is checked against its end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Byte(std::uint8_t& value) {
        if (at_ >= size_) return false;
        value = data_[at_++];
        return true;
    }
    // The shortest spelling only, at most 32 bits.
    bool Varint(std::uint32_t& value) {
        value = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            std::uint8_t b = 0;
            if (!Byte(b)) return false;
            if (shift == 28 && b > 0x0F) return false;
            value |= std::uint32_t{b & 0x7FU} << shift;
            if ((b & 0x80U) == 0) return b != 0 || shift == 0;
        }
        return false;
    }
    bool Word(std::uint32_t& value) {
        if (size_ - at_ < 4) return false;
        value = 0;
        for (int i = 0; i < 4; ++i) value |= std::uint32_t{data_[at_++]} << (8 * i);
        return true;
    }
    bool Bytes(std::size_t count, std::string& out) {
        if (size_ - at_ < count) return false;
        out.assign(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return true;
    }
    std::size_t Left() const { return size_ - at_; }

    // Bits, most significant first, at most 57 at a time.
    bool Bits(int count, std::uint64_t& value) {
        while (buffered_ < count) {
            if (at_ >= size_) return false;
            buffer_ = (buffer_ << 8) | data_[at_++];
            buffered_ += 8;
        }
        buffered_ -= count;
        value = (buffer_ >> buffered_) & ((std::uint64_t{1} << count) - 1);
        return true;
    }
    // The bits after the last key, to the byte's end, must be zero.
    bool ZeroPadding() const { return (buffer_ & ((std::uint64_t{1} << buffered_) - 1)) == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::uint64_t buffer_ = 0;  // bits read from the bytes but not yet taken
    int buffered_ = 0;
};

Decoded Refuse(std::string error) { return {std::nullopt, std::move(error)}; }

const char* const kTruncated = "the round record is cut short";
const char* const kMalformed = "the round record is malformed";

bool ReadKey(Reader& reader, std::uint32_t& ms, Key& key) {
    std::uint64_t action = 0;
    if (!reader.Bits(kActionBits, action) || action > static_cast<std::uint64_t>(Action::Pause)) return false;
    int zeros = 0;
    std::uint64_t bit = 0;
    for (;;) {
        if (!reader.Bits(1, bit)) return false;
        if (bit != 0) break;
        if (++zeros > kMaxGolombZeros) return false;
    }
    std::uint64_t low = 0;
    if (!reader.Bits(zeros + kGolombOrder, low)) return false;
    const std::uint64_t coded =
        ((std::uint64_t{1} << (zeros + kGolombOrder)) | low) - (std::uint64_t{1} << kGolombOrder);
    if (coded > 0xFFFFFFFFU) return false;
    ms += static_cast<std::uint32_t>(coded);  // modulo 2^32, as written
    key = {ms, static_cast<Action>(action)};
    return true;
}

bool ValidPlace(std::int32_t place) { return place >= 0 && place < kPositions; }

std::string KeyNumber(std::size_t index) { return "key " + std::to_string(index + 1); }

}  // namespace

std::string EncodeRecord(const Record& record) {
    std::vector<std::uint8_t> out;
    out.reserve(64 + record.token.size() + 4 * record.generatorState.size() + record.keys.size() * 2);
    PutVarint(out, static_cast<std::uint32_t>(record.version));
    PutVarint(out, static_cast<std::uint32_t>(record.token.size()));
    out.insert(out.end(), record.token.begin(), record.token.end());
    out.push_back(static_cast<std::uint8_t>(record.start.chicken));
    out.push_back(static_cast<std::uint8_t>(record.start.aim));
    out.push_back(static_cast<std::uint8_t>(record.generatorKind));
    out.push_back(static_cast<std::uint8_t>(record.generatorState.size()));
    for (std::uint32_t word : record.generatorState) PutWord(out, word);
    PutVarint(out, static_cast<std::uint32_t>(record.keys.size()));
    BitWriter bits(out);
    std::uint32_t previous = 0;
    for (const Key& key : record.keys) {
        bits.Put(static_cast<std::uint64_t>(key.action), kActionBits);
        const std::uint64_t value = std::uint64_t{key.ms - previous} + (std::uint64_t{1} << kGolombOrder);
        const int length = BitLength(value);
        bits.Put(0, length - kGolombOrder - 1);
        bits.Put(value, length);
        previous = key.ms;
    }
    PutWord(out, Crc32(out.data(), out.size()));
    return ToBase64(out);
}

Decoded DecodeRecord(std::string_view text) {
    if (text.empty()) return Refuse("the round record is empty");
    if (text.size() > kMaxRecordText) return Refuse("the round record is longer than any round's");
    const auto bytes = FromBase64(text);
    if (!bytes) return Refuse("the round record is not base64url text");
    if (bytes->size() < 5) return Refuse(kTruncated);
    const std::size_t size = bytes->size() - 4;
    Reader crc(bytes->data() + size, 4);
    std::uint32_t sum = 0;
    crc.Word(sum);
    if (sum != Crc32(bytes->data(), size)) return Refuse("the round record is damaged: its CRC-32 does not match");

    Reader in(bytes->data(), size);
    Record record;
    std::uint32_t version = 0;
    if (!in.Varint(version)) return Refuse(kMalformed);
    if (version != static_cast<std::uint32_t>(kVersion)) {
        return Refuse("unknown rules version " + std::to_string(version) + ": the game must be updated");
    }
    record.version = kVersion;

    std::uint32_t tokenBytes = 0;
    if (!in.Varint(tokenBytes)) return Refuse(kTruncated);
    if (tokenBytes > kMaxTokenBytes) return Refuse("the round record's token is longer than any the table gives");
    if (!in.Bytes(tokenBytes, record.token)) return Refuse(kTruncated);

    std::uint8_t chicken = 0;
    std::uint8_t aim = 0;
    std::uint8_t kind = 0;
    std::uint8_t words = 0;
    if (!in.Byte(chicken) || !in.Byte(aim) || !in.Byte(kind) || !in.Byte(words)) return Refuse(kTruncated);
    record.start = {chicken, aim};
    if (!ValidPlace(record.start.chicken) || !ValidPlace(record.start.aim)) {
        return Refuse("the round record starts outside the field");
    }
    if (kind > static_cast<std::uint8_t>(platform::GeneratorKind::Glibc)) {
        return Refuse("the round record names a generator this table does not know");
    }
    record.generatorKind = static_cast<platform::GeneratorKind>(kind);
    if (words != 0 && words != platform::Generator::StateWords(record.generatorKind)) {
        return Refuse("the round record's generator state has the wrong size");
    }
    if (words == 0 && record.token.empty()) {
        return Refuse("the round record has neither a round token nor the generator's state to start from");
    }
    if (in.Left() < 4U * words) return Refuse(kTruncated);
    record.generatorState.resize(words);
    for (std::uint32_t& word : record.generatorState) in.Word(word);

    std::uint32_t keys = 0;
    if (!in.Varint(keys)) return Refuse(kTruncated);
    if (keys > kMaxKeys) return Refuse("the round record holds more keys than a person can press in a round");
    // Each key takes at least kMinKeyBits, so the claimed count is checked
    // against what is there before room is made for it.
    if (in.Left() * 8 < std::uint64_t{keys} * kMinKeyBits) return Refuse(kTruncated);
    record.keys.reserve(keys);
    std::uint32_t ms = 0;
    for (std::uint32_t i = 0; i < keys; ++i) {
        Key key{};
        if (!ReadKey(in, ms, key)) return Refuse(in.Left() == 0 ? kTruncated : kMalformed);
        record.keys.push_back(key);
    }
    if (!in.ZeroPadding()) return Refuse(kMalformed);
    if (in.Left() != 0) return Refuse("the round record has bytes after its end");
    return {std::move(record), {}};
}

Replay ReplayRecord(const Record& record, platform::Generator start) {
    const auto refuse = [](std::string error) { return Replay{false, std::move(error), 0}; };
    if (record.version != kVersion) {
        return refuse("unknown rules version " + std::to_string(record.version) + ": the game must be updated");
    }
    if (!ValidPlace(record.start.chicken) || !ValidPlace(record.start.aim)) {
        return refuse("the round record starts outside the field");
    }
    if (start.Kind() != record.generatorKind) return refuse("the round record names another generator than its start");
    if (record.keys.size() > kMaxKeys) {
        return refuse("the round record holds more keys than a person can press in a round");
    }

    Round round(record.start);
    GeneratorSource random(start);
    std::optional<std::uint32_t> lastHit;
    const auto& keys = record.keys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Key key = keys[i];
        if (!round.Running()) return refuse(KeyNumber(i) + " comes after the key that ended the round");
        if (i > 0 && key.ms < keys[i - 1].ms) return refuse(KeyNumber(i) + " was read before the key ahead of it");
        if (key.ms < kSettleMs) return refuse(KeyNumber(i) + " was read before the round had settled");
        if (lastHit && key.ms - *lastHit < kAfterHitMs) {
            return refuse(KeyNumber(i) + " was read sooner after a hit than the game reads keys");
        }
        constexpr auto kWindow = static_cast<std::size_t>(kMaxKeysPerSecond);
        if (i >= kWindow && key.ms - keys[i - kWindow].ms < 1000) {
            return refuse("more than " + std::to_string(kMaxKeysPerSecond) + " keys in one second, at " + KeyNumber(i) +
                          ": more than a person can press");
        }
        if (key.action > Action::Pause) return refuse(KeyNumber(i) + " is not a key the game knows");
        if (round.Press(key, random) == Outcome::Hit) lastHit = key.ms;
    }
    if (round.Running()) return refuse("the round ended before its two minutes of play");
    return {true, {}, round.Score()};
}

}  // namespace round_rules
