#include "KeyDecoder.h"

#include "Platform.h"

namespace platform {
namespace {

constexpr int kEscape = 0x1B;

// The second byte of the console's arrow keys for the last byte of a
// terminal's arrow sequence, or -1.
int ArrowCode(int final) {
    switch (final) {
        case 'A': return kArrowUp;
        case 'B': return kArrowDown;
        case 'C': return kArrowRight;
        case 'D': return kArrowLeft;
        default: return -1;
    }
}

}  // namespace

int KeyDecoder::Key(Read read) {
    const int first = Next(read);
    if (first != kEscape) return first;
    const int intro = Following(read);
    if (intro != '[' && intro != 'O') {
        PutBack(intro);
        return kEscape;
    }
    const int final = Following(read);
    const int arrow = ArrowCode(final);
    if (arrow >= 0) {
        PutBack(arrow);
        return kArrowPrefix;
    }
    // Not ours to interpret: hand the bytes on as they came.
    PutBack(final);
    PutBack(intro);
    return kEscape;
}

bool KeyDecoder::Line(Read read, std::string& line) {
    line.clear();
    bool readAny = false;
    for (;;) {
        const int byte = Next(read);
        if (byte == kEndOfInput) break;
        readAny = true;
        if (byte == '\n') break;
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return readAny;
}

int KeyDecoder::Next(Read read) {
    if (!pending_.empty()) return Pop();
    if (ended_) return kEndOfInput;
    return Took(read(-1));
}

int KeyDecoder::Following(Read read) {
    if (!pending_.empty()) return Pop();
    if (ended_) return kEndOfInput;
    const int byte = Took(read(kEscapeWaitMs));
    return byte == kNoByteYet ? kEndOfInput : byte;
}

int KeyDecoder::Took(int byte) {
    if (byte == kEndOfInput) ended_ = true;
    return byte;
}

void KeyDecoder::PutBack(int byte) {
    if (byte != kEndOfInput) pending_.push_front(byte);
}

int KeyDecoder::Pop() {
    const int byte = pending_.front();
    pending_.pop_front();
    return byte;
}

}  // namespace platform
