// Memory and strings on the emulated machine: GlobalAlloc and GlobalFree with a
// count of live blocks and a guard byte past each, WideCharToMultiByte for the
// ANSI code page (Windows-1252), and wsprintfA.
#include "platform/emu/state.h"

#include <sanitizer/asan_interface.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace emu {
namespace {

// What fixed memory holds before anybody writes it: never zero, so that a caller
// relying on zero-filled memory without asking for it is found out.
constexpr unsigned char fresh_fill = 0xBE;

// The byte just past every block, checked when the block is freed: a caller that
// wrote one byte past the block it asked for is found out in every build, where
// Windows would let the heap decay in silence. Under AddressSanitizer the byte is
// also poisoned, so that the write itself is stopped where it happens.
constexpr unsigned char guard_fill = 0xFD;

// Windows-1252 bytes 0x80 to 0x9F. The five unassigned bytes stand for the C1
// controls of the same value, as the system's own table has them.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The byte for one UTF-16 unit, or -1 when the code page has none. There is no
// best-fit mapping: a character without its own byte is unmapped.
int ansi_byte(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        return unit;
    }
    for (int i = 0; i < 32; ++i) {
        if (cp1252_high[i] == unit) {
            return 0x80 + i;
        }
    }
    return -1;
}

bool high_surrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool low_surrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

std::u16string utf8_to_utf16(const std::string &text) {
    // No character takes fewer UTF-8 bytes than UTF-16 units.
    std::u16string out(text.size(), u'\0');
    std::size_t written = 0;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        const unsigned char b = s[i];
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > n) {
                len = 1;
            } else {
                cp = b & (0x7F >> len);
                for (std::size_t k = 1; k < len; ++k) {
                    if ((s[i + k] & 0xC0) != 0x80) {
                        cp = 0xFFFD;
                        len = k;
                        break;
                    }
                    cp = (cp << 6) | (s[i + k] & 0x3F);
                }
            }
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out[written++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[written++] = static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
        }
        i += len;
    }
    out.resize(written);
    return out;
}

std::string utf16_to_ansi(const char16_t *text, std::size_t units, char default_char,
                          bool *used_default) {
    std::string out(units, '\0'); // at most one byte per unit
    std::size_t written = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const int byte = ansi_byte(text[i]);
        if (byte >= 0) {
            out[written++] = static_cast<char>(byte);
            continue;
        }
        // A surrogate pair is one character, and so one default character.
        if (high_surrogate(text[i]) && i + 1 < units && low_surrogate(text[i + 1])) {
            ++i;
        }
        out[written++] = default_char;
        if (used_default != nullptr) {
            *used_default = true;
        }
    }
    out.resize(written);
    return out;
}

std::string utf8_to_ansi(const std::string &text) {
    const std::u16string wide = utf8_to_utf16(text);
    return utf16_to_ansi(wide.data(), wide.size(), '?', nullptr);
}

} // namespace emu

using namespace emu;

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    enter("GlobalAlloc");
    if ((flags & ~GMEM_ZEROINIT) != 0) {
        misuse("GlobalAlloc", "only GMEM_FIXED and GMEM_ZEROINIT are supported");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (const fault *f = take_fault("GlobalAlloc", 0, "", 0, bytes)) {
        SetLastError(f->error);
        return nullptr;
    }
    if (bytes > st().m.largest_block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A block of 0 bytes is still a block of its own, as on Windows: its guard.
    // Zero-filled blocks come from calloc: as on Windows, a large one costs
    // memory only for the pages that are written.
    const bool zeroed = (flags & GMEM_ZEROINIT) != 0;
    auto *block =
        static_cast<unsigned char *>(zeroed ? std::calloc(1, bytes + 1) : std::malloc(bytes + 1));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!zeroed) {
        std::memset(block, fresh_fill, bytes);
    }
    block[bytes] = guard_fill;
    ASAN_POISON_MEMORY_REGION(block + bytes, 1);
    state &s = st();
    s.globals[block] = bytes;
    s.global_bytes += bytes;
    if (s.global_bytes > s.peak_global_bytes) {
        s.peak_global_bytes = s.global_bytes;
    }
    return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    enter("GlobalFree");
    if (block == nullptr) {
        return nullptr;
    }
    auto &globals = st().globals;
    auto it = globals.find(block);
    if (it == globals.end()) {
        misuse("GlobalFree", "not a live block from GlobalAlloc");
        SetLastError(ERROR_INVALID_HANDLE);
        return block;
    }
    const std::size_t bytes = it->second;
    unsigned char *guard = static_cast<unsigned char *>(block) + bytes;
    ASAN_UNPOISON_MEMORY_REGION(guard, 1);
    if (*guard != guard_fill) {
        misuse("GlobalFree",
               "the byte past the block's " + std::to_string(bytes) +
                   " bytes was written: its caller wrote past the block it asked for");
    }
    st().global_bytes -= bytes;
    globals.erase(it);
    std::free(block);
    return nullptr;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_units, LPSTR out,
                        int out_size, LPCCH default_char, LPBOOL used_default) {
    enter("WideCharToMultiByte");
    if (code_page != CP_ACP) {
        misuse("WideCharToMultiByte", "only the ANSI code page (CP_ACP) is available");
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        misuse("WideCharToMultiByte", "no conversion flags are supported");
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (wide == nullptr || wide_units == 0 || wide_units < -1 || out_size < 0 ||
        (out == nullptr && out_size != 0) ||
        (out != nullptr && static_cast<const void *>(out) == static_cast<const void *>(wide))) {
        misuse("WideCharToMultiByte", "invalid source, length or output buffer");
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (const fault *f = take_fault("WideCharToMultiByte", 0, "", 0)) {
        SetLastError(f->error);
        return 0;
    }
    std::size_t units = 0;
    if (wide_units == -1) {
        while (wide[units] != 0) {
            ++units;
        }
        ++units; // the terminator is converted too
    } else {
        units = static_cast<std::size_t>(wide_units);
    }
    bool defaulted = false;
    const std::string text =
        utf16_to_ansi(wide, units, default_char != nullptr ? *default_char : '?', &defaulted);
    if (used_default != nullptr) {
        *used_default = defaulted ? TRUE : FALSE;
    }
    if (out_size == 0) {
        return static_cast<int>(text.size());
    }
    if (text.size() > static_cast<std::size_t>(out_size)) {
        std::memcpy(out, text.data(), static_cast<std::size_t>(out_size));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.data(), text.size());
    return static_cast<int>(text.size());
}

namespace {

// wsprintfA never writes more than this, terminator included.
constexpr std::size_t wsprintf_limit = 1024;

void append_number(std::string &out, unsigned long value, unsigned base, bool upper, bool negative,
                   int precision) {
    char digits[32];
    int n = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[value % base];
        value /= base;
    } while (value != 0);
    if (negative) {
        out += '-';
    }
    for (int i = n; i < precision; ++i) {
        out += '0';
    }
    while (n > 0) {
        out += digits[--n];
    }
}

} // namespace

// The subset the system's wsprintfA has: %c %d %i %u %x %X %s %S and %%, with the
// flags '-', '0' and '#', a width, a precision, and the sizes 'l' and 'h'. Longs
// are 32 bits wide, as on Windows.
int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    enter("wsprintfA");
    if (buffer == nullptr || format == nullptr) {
        misuse("wsprintfA", "no buffer or no format");
        return 0;
    }
    va_list args;
    va_start(args, format);
    std::string out;
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        bool left = false, zero = false, alternate = false;
        for (;; ++p) {
            if (*p == '-') {
                left = true;
            } else if (*p == '0') {
                zero = true;
            } else if (*p == '#') {
                alternate = true;
            } else {
                break;
            }
        }
        int width = 0;
        while (*p >= '0' && *p <= '9') {
            width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            while (*p >= '0' && *p <= '9') {
                precision = precision * 10 + (*p++ - '0');
            }
        }
        bool wide = false, shortened = false;
        if (*p == 'l') {
            ++p;
            wide = true;
        } else if (*p == 'h') {
            ++p;
            shortened = true;
        }
        std::string field;
        bool numeric = false;
        switch (*p) {
        case '\0':
            --p;
            break;
        case '%':
            field = "%";
            break;
        case 'c':
        case 'C':
            field = static_cast<char>(va_arg(args, int));
            break;
        case 'd':
        case 'i': {
            int v = va_arg(args, int);
            if (shortened) {
                v = static_cast<short>(v);
            }
            const unsigned long magnitude =
                v < 0 ? 0ul - static_cast<unsigned long>(static_cast<long>(v))
                      : static_cast<unsigned long>(v);
            append_number(field, magnitude, 10, false, v < 0, precision);
            numeric = true;
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned v = va_arg(args, unsigned);
            if (shortened) {
                v = static_cast<unsigned short>(v);
            }
            if (alternate && *p != 'u' && v != 0) {
                field += '0'; // "0x" or "0X", as the conversion is written
                field += *p;
            }
            append_number(field, v, *p == 'u' ? 10 : 16, *p == 'X', false, precision);
            numeric = true;
            break;
        }
        case 's':
        case 'S':
            if (wide || *p == 'S') {
                const auto *text = va_arg(args, const char16_t *);
                if (text == nullptr) {
                    field = "(null)";
                } else {
                    std::size_t n = 0;
                    while (text[n] != 0 && (precision < 0 || n < std::size_t(precision))) {
                        ++n;
                    }
                    field = utf16_to_ansi(text, n, '?', nullptr);
                }
            } else {
                const char *text = va_arg(args, const char *);
                if (text == nullptr) {
                    text = "(null)";
                }
                std::size_t n = 0;
                while (text[n] != '\0' && (precision < 0 || n < std::size_t(precision))) {
                    ++n;
                }
                field.assign(text, n);
            }
            break;
        default:
            field = *p; // an unknown conversion stands for itself
            break;
        }
        if (field.size() < std::size_t(width)) {
            const std::size_t pad = std::size_t(width) - field.size();
            if (left) {
                field.append(pad, ' ');
            } else if (zero && numeric) {
                const std::size_t sign = !field.empty() && field[0] == '-' ? 1 : 0;
                field.insert(sign, pad, '0');
            } else {
                field.insert(0, pad, ' ');
            }
        }
        out += field;
    }
    va_end(args);
    if (out.size() > wsprintf_limit - 1) {
        out.resize(wsprintf_limit - 1);
    }
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}
