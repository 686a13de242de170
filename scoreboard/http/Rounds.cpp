#include "http/Rounds.h"

#include "RoundRecord.h"
#include "RoundRules.h"

#include <zlib.h>
#include <boost/uuid/detail/sha1.hpp>

#include <array>
#include <random>
#include <span>

namespace scoreboard {
namespace {

constexpr std::size_t kTokenBytes = 4 + 8 + 8;
constexpr std::size_t kMacBytes = 20;
// A stored record inflates to no more than this: the request body's limit.
constexpr uLong kMostRecordBytes = 64 * 1024;

using Sha1 = boost::uuids::detail::sha1;

std::array<unsigned char, kMacBytes> Digest(Sha1& h) {
    Sha1::digest_type words;
    h.get_digest(words);
    std::array<unsigned char, kMacBytes> out{};
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t b = 0; b < 4; ++b) out[i * 4 + b] = static_cast<unsigned char>(words[i] >> (24 - 8 * b));
    return out;
}

// HMAC-SHA1 (RFC 2104) of `message` under `key`.
std::array<unsigned char, kMacBytes> Hmac(std::string_view key, std::span<const unsigned char> message) {
    constexpr std::size_t kBlock = 64;
    std::array<unsigned char, kBlock> padded{};
    if (key.size() > kBlock) {
        Sha1 h;
        h.process_bytes(key.data(), key.size());
        const auto digest = Digest(h);
        std::copy(digest.begin(), digest.end(), padded.begin());
    } else {
        std::copy(key.begin(), key.end(), padded.begin());
    }
    std::array<unsigned char, kBlock> pad{};
    for (std::size_t i = 0; i < kBlock; ++i) pad[i] = padded[i] ^ 0x36;
    Sha1 inner;
    inner.process_bytes(pad.data(), pad.size());
    inner.process_bytes(message.data(), message.size());
    const auto innerDigest = Digest(inner);
    for (std::size_t i = 0; i < kBlock; ++i) pad[i] = padded[i] ^ 0x5c;
    Sha1 outer;
    outer.process_bytes(pad.data(), pad.size());
    outer.process_bytes(innerDigest.data(), innerDigest.size());
    return Digest(outer);
}

std::array<unsigned char, kTokenBytes> Fields(const RoundToken& t) {
    std::array<unsigned char, kTokenBytes> bytes{};
    const auto put = [&](std::size_t at, std::uint64_t value, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * (n - 1 - i)));
    };
    put(0, t.seed, 4);
    put(4, static_cast<std::uint64_t>(t.issuedMs), 8);
    put(12, t.nonce, 8);
    return bytes;
}

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A byte-by-byte comparison that takes as long however early they differ.
bool SameBytes(std::span<const unsigned char> a, std::span<const unsigned char> b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) differ |= a[i] ^ b[i];
    return differ == 0;
}

}  // namespace

std::string SignToken(std::string_view key, const RoundToken& token) {
    const auto fields = Fields(token);
    const auto mac = Hmac(key, fields);
    std::string text;
    text.reserve(2 * (kTokenBytes + kMacBytes));
    for (const unsigned char b : fields) (text += kHex[b >> 4]) += kHex[b & 0xf];
    for (const unsigned char b : mac) (text += kHex[b >> 4]) += kHex[b & 0xf];
    return text;
}

std::optional<RoundToken> ReadToken(std::string_view key, std::string_view text) {
    if (text.size() != 2 * (kTokenBytes + kMacBytes)) return std::nullopt;
    std::array<unsigned char, kTokenBytes + kMacBytes> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    const std::span<const unsigned char> fields(bytes.data(), kTokenBytes);
    if (!SameBytes(Hmac(key, fields), std::span<const unsigned char>(bytes.data() + kTokenBytes, kMacBytes)))
        return std::nullopt;
    const auto get = [&](std::size_t at, std::size_t n) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < n; ++i) value = value << 8 | bytes[at + i];
        return value;
    };
    return RoundToken{static_cast<std::uint32_t>(get(0, 4)), static_cast<std::int64_t>(get(4, 8)), get(12, 8)};
}

RoundToken NewToken(std::int64_t nowMs) {
    thread_local std::random_device source;
    const auto word = [&] { return static_cast<std::uint64_t>(source()); };
    return {static_cast<std::uint32_t>(word()), nowMs, word() << 32 | word()};
}

namespace {

// Replays `record` from the generator its token or its own state gives;
// the score, or why not.
std::variant<std::int32_t, std::string> Replay(const round_rules::Record& record, std::string_view key,
                                               std::optional<RoundToken>& token) {
    std::optional<platform::Generator> start;
    if (!record.token.empty()) {
        token = ReadToken(key, record.token);
        if (!token) return std::string("the round's token is not one this table issued");
        start = platform::Generator::Seeded(record.generatorKind, token->seed);
    } else {
        start = platform::Generator::FromState(record.generatorKind, record.generatorState);
        if (!start) return std::string("the round's generator state has the wrong number of words");
    }
    const round_rules::Replay replay = round_rules::ReplayRecord(record, *start);
    if (!replay.ok) return replay.error;
    return replay.score;
}

}  // namespace

std::variant<RoundChecked, RoundRefused> CheckRound(std::string_view game, std::int32_t score,
                                                    const std::optional<std::string>& round, std::string_view key,
                                                    std::int64_t nowMs) {
    if (game != kRulesGame) return RoundChecked{};
    if (score > round_rules::kMaxScore)
        return RoundRefused{"score", "no round scores more than " + std::to_string(round_rules::kMaxScore)};
    if (!round) return RoundChecked{};
    const round_rules::Decoded decoded = round_rules::DecodeRecord(*round);
    if (!decoded.record) return RoundRefused{"round", decoded.error};
    std::optional<RoundToken> token;
    const auto replayed = Replay(*decoded.record, key, token);
    if (const auto* error = std::get_if<std::string>(&replayed)) return RoundRefused{"round", *error};
    const std::int32_t points = std::get<std::int32_t>(replayed);
    if (points != score)
        return RoundRefused{"round",
                            "the round replays to " + std::to_string(points) + " points, not " + std::to_string(score)};
    if (!token) return RoundChecked{Check::Replayed, {}};
    if (nowMs - token->issuedMs < static_cast<std::int64_t>(round_rules::kRoundMs))
        return RoundRefused{"round", "the score came sooner after its round token than a round lasts"};
    return RoundChecked{Check::Verified, decoded.record->token};
}

std::string WeakerThanAccepted(Check check, Check least) {
    if (check == Check::Unverified)
        return "this table takes only scores whose round it can replay; the game must be updated to send its "
               "round's record";
    return "this table takes only " + std::string(CheckName(least)) + " scores, from rounds begun with its token";
}

std::string CompressRecord(std::string_view record) {
    // One stream a thread, reset for each record: a fresh one would allocate
    // and clear its tables (a quarter of a megabyte) for a few kilobytes.
    // A 4 KB window covers a whole record.
    struct Deflater {
        z_stream stream{};
        bool ready = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 12, 4, Z_DEFAULT_STRATEGY) == Z_OK;
        Deflater() = default;
        Deflater(const Deflater&) = delete;
        Deflater& operator=(const Deflater&) = delete;
        ~Deflater() {
            if (ready) deflateEnd(&stream);
        }
    };
    thread_local Deflater deflater;
    z_stream& z = deflater.stream;
    if (!deflater.ready || deflateReset(&z) != Z_OK) throw std::runtime_error("could not compress a round's record");
    std::string out(deflateBound(&z, static_cast<uLong>(record.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(record.data()));  // NOLINT: zlib's API is not const
    z.avail_in = static_cast<uInt>(record.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("could not compress a round's record");
    out.resize(z.total_out);
    return out;
}

std::optional<std::string> DecompressRecord(std::string_view stored) {
    std::string out(kMostRecordBytes, '\0');
    uLongf size = kMostRecordBytes;
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(stored.data()),
                   static_cast<uLong>(stored.size())) != Z_OK)
        return std::nullopt;
    out.resize(size);
    return out;
}

std::optional<std::string> Recheck(const ExportRow& row, std::string_view key) {
    if (row.round.empty()) return std::nullopt;
    const auto text = DecompressRecord(row.round);
    if (!text) return "its stored record cannot be read";
    const round_rules::Decoded decoded = round_rules::DecodeRecord(*text);
    if (!decoded.record) return decoded.error;
    std::optional<RoundToken> token;
    const auto replayed = Replay(*decoded.record, key, token);
    if (const auto* error = std::get_if<std::string>(&replayed)) return *error;
    const std::int32_t points = std::get<std::int32_t>(replayed);
    if (points != row.score) return "it replays to " + std::to_string(points) + " points";
    return std::nullopt;
}

}  // namespace scoreboard
