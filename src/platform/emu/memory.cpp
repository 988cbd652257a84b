// Memory and strings on the emulated machine: GlobalAlloc and GlobalFree with a
// count of live blocks and a guard byte past each, WideCharToMultiByte for the
// ANSI code page (Windows-1252), and wsprintfA.
#include "platform/emu/state.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace emu;

namespace {

// What fixed memory holds before anybody writes it: never zero, so that a caller
// relying on zero-filled memory without asking for it is found out.
constexpr unsigned char fresh_fill = 0xBE;

// The byte just past every block, checked when the block is freed: a caller that
// wrote one byte past the block it asked for is found out in every build, where
// Windows would let the heap decay in silence. Under AddressSanitizer the byte is
// also poisoned, so that the write itself is stopped where it happens.
constexpr unsigned char guard_fill = 0xFD;

} // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    enter("GlobalAlloc");
    if ((flags & ~GMEM_ZEROINIT) != 0) {
        return refused("GlobalAlloc", "only GMEM_FIXED and GMEM_ZEROINIT are supported",
                       ERROR_INVALID_PARAMETER, nullptr);
    }
    qvm_request r{};
    r.call = QVM_GLOBAL_ALLOC;
    r.size = bytes;
    if (const qvm_answer a = ask_machine(r); a.error != 0) {
        return failed(a.error, nullptr);
    }
    // A block of 0 bytes is still a block of its own, as on Windows: its guard.
    // Zero-filled blocks come from calloc: as on Windows, a large one costs
    // memory only for the pages that are written.
    const bool zeroed = (flags & GMEM_ZEROINIT) != 0;
    auto *block =
        static_cast<unsigned char *>(zeroed ? std::calloc(1, bytes + 1) : std::malloc(bytes + 1));
    if (block == nullptr) {
        return failed(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    if (!zeroed) {
        std::memset(block, fresh_fill, bytes);
    }
    block[bytes] = guard_fill;
    ASAN_POISON_MEMORY_REGION(block + bytes, 1);
    state &s = st();
    s.globals[block] = bytes;
    s.global_bytes += bytes;
    s.peak_global_bytes = std::max(s.peak_global_bytes, s.global_bytes);
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
        return refused("GlobalFree", "not a live block from GlobalAlloc", ERROR_INVALID_HANDLE,
                       block);
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
        return refused("WideCharToMultiByte", "only the ANSI code page (CP_ACP) is available",
                       ERROR_INVALID_PARAMETER, 0);
    }
    if (flags != 0) {
        return refused("WideCharToMultiByte", "no conversion flags are supported",
                       ERROR_INVALID_FLAGS, 0);
    }
    if (wide == nullptr || wide_units == 0 || wide_units < -1 || out_size < 0 ||
        (out == nullptr && out_size != 0) ||
        (out != nullptr && static_cast<const void *>(out) == static_cast<const void *>(wide))) {
        return refused("WideCharToMultiByte", "invalid source, length or output buffer",
                       ERROR_INVALID_PARAMETER, 0);
    }
    if (const qvm_answer a = ask_machine(QVM_WIDE_CHAR_TO_MULTI_BYTE, 0); a.error != 0) {
        return failed(a.error, 0);
    }
    // -1: up to the terminator, which is converted too.
    const std::size_t units = wide_units == -1 ? std::char_traits<WCHAR>::length(wide) + 1
                                               : static_cast<std::size_t>(wide_units);
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
        return failed(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    std::memcpy(out, text.data(), text.size());
    return static_cast<int>(text.size());
}

namespace {

// wsprintfA never writes more than this, terminator included.
constexpr std::size_t wsprintf_limit = 1024;

// A conversion as the format writes it: flags, width, precision, size, letter.
struct conversion {
    bool left = false, zero = false, alternate = false, wide = false, shortened = false;
    int width = 0, precision = -1;
    char letter = '\0';
};

int read_digits(const char *&p) {
    int n = 0;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p++ - '0');
    }
    return n;
}

// What follows a '%'; `p` is left on the conversion's letter.
conversion read_conversion(const char *&p) {
    conversion c;
    for (; *p != '\0' && std::strchr("-0#", *p) != nullptr; ++p) {
        c.left = c.left || *p == '-';
        c.zero = c.zero || *p == '0';
        c.alternate = c.alternate || *p == '#';
    }
    c.width = read_digits(p);
    if (*p == '.') {
        ++p;
        c.precision = read_digits(p);
    }
    c.wide = *p == 'l';
    c.shortened = *p == 'h';
    p += c.wide || c.shortened ? 1 : 0;
    c.letter = *p;
    return c;
}

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

// %d %i %u %x %X; with '#', a hexadecimal number other than 0 gets "0x" or "0X".
std::string number_field(const conversion &c, std::va_list &args) {
    std::string field;
    if (c.letter == 'd' || c.letter == 'i') {
        const int v = c.shortened ? static_cast<short>(va_arg(args, int)) : va_arg(args, int);
        const unsigned long magnitude = v < 0
                                            ? 0ul - static_cast<unsigned long>(static_cast<long>(v))
                                            : static_cast<unsigned long>(v);
        append_number(field, magnitude, 10, false, v < 0, c.precision);
        return field;
    }
    const unsigned v =
        c.shortened ? static_cast<unsigned short>(va_arg(args, unsigned)) : va_arg(args, unsigned);
    if (c.alternate && c.letter != 'u' && v != 0) {
        field += '0';
        field += c.letter;
    }
    append_number(field, v, c.letter == 'u' ? 10 : 16, c.letter == 'X', false, c.precision);
    return field;
}

// %s, and %ls or %S for a UTF-16 text: at most `precision` characters of it.
std::string text_field(const conversion &c, std::va_list &args) {
    const std::size_t most = c.precision < 0 ? SIZE_MAX : std::size_t(c.precision);
    if (c.wide || c.letter == 'S') {
        const auto *text = va_arg(args, const char16_t *);
        if (text == nullptr) {
            return "(null)";
        }
        std::size_t n = 0;
        while (text[n] != 0 && n < most) {
            ++n;
        }
        return utf16_to_ansi(text, n, '?', nullptr);
    }
    const char *text = va_arg(args, const char *);
    text = text != nullptr ? text : "(null)";
    return std::string(text, strnlen(text, most));
}

std::string field_of(const conversion &c, std::va_list &args) {
    switch (c.letter) {
    case '\0':
        return "";
    case 'c':
    case 'C':
        return std::string(1, static_cast<char>(va_arg(args, int)));
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
        return number_field(c, args);
    case 's':
    case 'S':
        return text_field(c, args);
    default:
        return std::string(1, c.letter); // "%%" and an unknown conversion stand for themselves
    }
}

// Up to the width: spaces before, or after with '-'; a number with '0' gets
// zeros after its sign.
void pad(std::string &field, const conversion &c) {
    if (field.size() >= std::size_t(c.width)) {
        return;
    }
    const std::size_t pad = std::size_t(c.width) - field.size();
    if (c.left) {
        field.append(pad, ' ');
    } else if (c.zero && c.letter != '\0' && std::strchr("diuxX", c.letter) != nullptr) {
        field.insert(!field.empty() && field[0] == '-' ? 1 : 0, pad, '0');
    } else {
        field.insert(0, pad, ' ');
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
        const conversion c = read_conversion(++p);
        std::string field = field_of(c, args);
        pad(field, c);
        out += field;
        if (c.letter == '\0') {
            break;
        }
    }
    va_end(args);
    out.resize(std::min(out.size(), wsprintf_limit - 1));
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}
