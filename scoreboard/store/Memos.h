// Texts made from what is stored (a rendered answer or page), kept under a
// key until a commit changes what they were made from.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace scoreboard {

class Memos {
public:
    virtual ~Memos() = default;
    // The text kept under `key`, or make()'s, kept when nothing changed meanwhile.
    virtual std::shared_ptr<const std::string> Memo(std::string_view key, const std::function<std::string()>& make) = 0;
};

}  // namespace scoreboard
