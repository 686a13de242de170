// The one stream the service writes its messages to: one line each, sent to
// the sink a host program set with Corvane::SetMessageSink, else standard
// error.
#pragma once

namespace Corvane::detail {

// Formats one message as printf does; a trailing line end is dropped, since
// each message is one line.
[[gnu::format(printf, 1, 2)]] void Say(const char* format, ...);

}  // namespace Corvane::detail
