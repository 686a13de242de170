// The outbox entry format: whatever decodes is exactly what encoding that
// record gives back, and any record encodes to something that decodes to the
// same record (or to nothing), never to a different one.
#include "delivery/Outbox.h"

#include <cstdint>
#include <string_view>

using Corvane::detail::DecodeRecord;
using Corvane::detail::EncodeRecord;
using Corvane::detail::OutboxRecord;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto record = DecodeRecord(text)) {
        const std::string again = EncodeRecord(*record);
        if (again != text) __builtin_trap();  // one text per record
        const auto back = DecodeRecord(again);
        if (!back || back->url != record->url || back->body != record->body) __builtin_trap();
    }

    // The same bytes as a record: url up to the first NUL, body after it.
    const std::size_t split = text.find('\0');
    if (split != std::string_view::npos) {
        const OutboxRecord record{std::string(text.substr(0, split)), std::string(text.substr(split + 1))};
        if (const auto back = DecodeRecord(EncodeRecord(record))) {
            if (back->url != record.url || back->body != record.body) __builtin_trap();
        }
    }
    return 0;
}
