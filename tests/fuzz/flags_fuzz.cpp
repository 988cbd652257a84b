// The argument conversion on arbitrary text: it never fails, and its byte is
// the low 8 bits of the number the text starts with, as atoi reads it.
#include "front/entry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The low byte of the number at the start of `text`, computed another way: since
// 10^8 is a multiple of 256, only the last eight digits of the number matter.
std::uint8_t expected_byte(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t first = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
    }
    const std::size_t keep = i - first > 8 ? 8 : i - first;
    const std::string digits = text.substr(i - keep, keep);
    const long long magnitude = digits.empty() ? 0 : std::strtoll(digits.c_str(), nullptr, 10);
    const long long value = negative ? -magnitude : magnitude;
    return static_cast<std::uint8_t>(static_cast<unsigned long long>(value) & 0xFFu);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The argument as the program gets it: text up to its first NUL.
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    if (convert_flags(text.c_str()) != expected_byte(text)) {
        std::abort();
    }
    return 0;
}
