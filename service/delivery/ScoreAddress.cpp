#include "delivery/ScoreAddress.h"

#include "ScoreProtocol.h"
#include "common/AsciiText.h"

#include <algorithm>

namespace Corvane::detail {

namespace {

bool IsLoopback(std::string_view host) {
    const std::string h = Lower(host);
    if (h == "localhost" || h == "::1" || h == "0:0:0:0:0:0:0:1") return true;
    // 127.0.0.0/8 in dotted-quad form.
    if (!h.starts_with("127.")) return false;
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = h.find('.', start);
        const std::string_view part = std::string_view(h).substr(start, dot - start);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

// The table's base URL from the site, with `path` after it.
std::string TableUrl(std::string_view site, std::string_view override, std::string_view tablePath) {
    const std::string path(tablePath);
    std::string_view s = Trim(override.empty() ? site : override);
    if (s.empty()) return {};
    if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
        return {};
    }
    if (const std::size_t sep = s.find("://"); sep != std::string_view::npos) {
        const std::string scheme = Lower(s.substr(0, sep));
        if (scheme != "http" && scheme != "https") return {};
        std::string_view rest = s.substr(sep + 3);
        while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
        if (rest.empty() || rest.front() == '/' || rest.find_first_of("?#") != std::string_view::npos) return {};
        return scheme + "://" + std::string(rest) + path;
    }
    if (s.find_first_of("/?#@") != std::string_view::npos) return {};
    std::string_view host, port;
    std::string authority(s);
    if (s.front() == '[') {
        const std::size_t close = s.find(']');
        if (close == std::string_view::npos) return {};
        host = s.substr(1, close - 1);
        const std::string_view after = s.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return {};
        port = after.empty() ? after : after.substr(1);
        if (after == ":") return {};
    } else if (std::count(s.begin(), s.end(), ':') > 1) {
        host = s;  // a bare IPv6 address, which cannot carry a port
        authority = "[" + std::string(s) + "]";
    } else {
        const std::size_t colon = s.find(':');
        host = s.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = s.substr(colon + 1);
            if (port.empty()) return {};
        }
    }
    if (host.empty()) return {};
    if (!port.empty() && (!AllDigits(port) || port.size() > 5 || std::stoi(std::string(port)) > 65535 ||
                          std::stoi(std::string(port)) == 0)) {
        return {};
    }
    return (IsLoopback(host) ? "http://" : "https://") + authority + path;
}

}  // namespace

std::string ScoresUrl(std::string_view site, std::string_view override) {
    return TableUrl(site, override, score_protocol::kScoresPath);
}

std::string RoundsUrl(std::string_view site, std::string_view override) {
    return TableUrl(site, override, score_protocol::kRoundsPath);
}

}  // namespace Corvane::detail
