// Texts of a machine description as the platform hands them out: UTF-8 as
// written, UTF-16 in the USB stack's replies, Windows-1252 in the ...A calls.
#include "platform/description/table.h"

#include <algorithm>
#include <iterator>

namespace desc {
namespace {

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
    const char16_t *at = std::find(std::begin(cp1252_high), std::end(cp1252_high), unit);
    return at != std::end(cp1252_high) ? 0x80 + static_cast<int>(at - cp1252_high) : -1;
}

bool high_surrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool low_surrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

// A description's texts are well-formed UTF-8: its reader takes nothing else.
std::u16string utf8_to_utf16(const std::string &text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        std::uint32_t cp = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
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

std::string lower(std::string text) {
    for (char &c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

std::string utf8_to_ansi(const std::string &text) {
    const std::u16string wide = utf8_to_utf16(text);
    return utf16_to_ansi(wide.data(), wide.size(), '?', nullptr);
}

// Lone surrogates become U+FFFD: a description is well-formed UTF-8.
std::string utf16_to_utf8(const std::u16string &units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (high_surrogate(units[i]) && i + 1 < units.size() && low_surrogate(units[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00u);
        } else if (high_surrogate(units[i]) || low_surrogate(units[i])) {
            cp = 0xFFFD;
        }
        const int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        const std::uint32_t lead = extra == 0 ? 0 : (0xFFu << (7 - extra)) & 0xFFu;
        out += static_cast<char>(lead | (cp >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) {
            out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
        }
    }
    return out;
}

// Every byte has its character: the inverse of utf8_to_ansi where that had one.
std::string ansi_to_utf8(const std::string &text) {
    std::u16string wide;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        wide += byte >= 0x80 && byte < 0xA0 ? cp1252_high[byte - 0x80] : char16_t{byte};
    }
    return utf16_to_utf8(wide);
}

} // namespace desc
