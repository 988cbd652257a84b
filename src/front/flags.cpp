#include "front/entry.h"

std::uint8_t convert_flags(const char *argument) {
    if (argument == nullptr) {
        return 0;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(argument);
    // The white space atoi skips: space, \t, \n, \v, \f, \r.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Only the low 8 bits of the value count, and they depend only on the value
    // modulo 256: accumulate modulo 256, so no number of digits can overflow.
    unsigned value = 0;
    while (*p >= '0' && *p <= '9') {
        value = (value * 10u + static_cast<unsigned>(*p - '0')) & 0xFFu;
        ++p;
    }
    if (negative) {
        value = (0x100u - value) & 0xFFu;
    }
    return static_cast<std::uint8_t>(value);
}
