// SetupAPI's INF reading on the emulated machine, over the real files: a
// Windows 4 style INF (its [Version] Signature "$Windows NT$", "$Chicago$" or
// "$Windows 95$") parsed whole when it is opened, as Wine's SetupAPI reads it:
//
// - a line is a section's name in brackets, or a line of the section above it;
//   `;` starts a comment outside quotes; a line before any section is an error
//   (ERROR_EXPECTED_SECTION_NAME), and so is a `[` without its `]`
//   (ERROR_BAD_SECTION_NAME_LINE); the error line is the file's line, from 1;
// - sections and keys are found case-insensitively, and sections of one name
//   are one section, their lines in the file's order;
// - a line's fields are split at commas; a key is what stands before the first
//   `=`; a line of one field without `=` has that field as its key too;
// - white space around a field is dropped, inside it kept; "..." keeps what it
//   holds, "" in it is one quote;
// - a `\` last on a line (before white space or a comment) joins the next line
//   to it, without the white space around the join;
// - %name% in a field is the [Strings] line keyed name, %% is %; a name
//   [Strings] lacks stays as written. Substitution is made as a field is read.
//
// Measured under Wine 8.0: an empty file fails with ERROR_FILE_INVALID, a file
// that is no Windows 4 INF with ERROR_WRONG_INF_STYLE at line 0; a file that
// cannot be opened leaves the error line as it was. A key, or a section, not
// found fails with ERROR_LINE_NOT_FOUND; a field a line lacks with the last
// error 0.
#include "platform/emu/state.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace emu {

struct inf_line {
    bool keyed = false;
    std::string key;
    std::vector<std::string> fields;
};
struct inf_section {
    std::string name;
    std::vector<inf_line> lines;
};
struct inf_text {
    std::vector<inf_section> sections;
};

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// Where a section is (its index), or -1.
int section_of(const inf_text &inf, const std::string &name) {
    for (std::size_t i = 0; i < inf.sections.size(); ++i) {
        if (lower(inf.sections[i].name) == lower(name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A line of fields being read, across the lines a `\` joins.
struct line_reader {
    inf_line line;
    std::string field, spaces; // spaces: after the field's text, kept if more follows
    bool started = false, quoted = false, any = false;

    void end_field() {
        line.fields.push_back(field);
        field.clear(), spaces.clear(), started = false;
    }
    // Reads a piece of a line; true where a `\` joins the next one to it.
    bool read(const std::string &text, std::size_t at) {
        for (; at < text.size(); ++at) {
            const char c = text[at];
            if (quoted) {
                if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                    field += '"', ++at;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    field += c;
                }
                continue;
            }
            if (c == ';') {
                return false;
            }
            const std::size_t next = text.find_first_not_of(" \t", at + 1);
            if (c == '\\' && (next == std::string::npos || text[next] == ';')) {
                spaces.clear(); // the join drops the white space around it
                return true;
            }
            any = true;
            if (c == ',') {
                end_field();
            } else if (c == '=' && !line.keyed && line.fields.empty()) {
                line.keyed = true, line.key = field;
                field.clear(), spaces.clear(), started = false;
            } else if (blank(c)) {
                spaces += started ? std::string(1, c) : "";
            } else {
                field += spaces + (c == '"' ? "" : std::string(1, c));
                spaces.clear(), started = true, quoted = c == '"';
            }
        }
        return false;
    }
    inf_line done() {
        end_field();
        if (!line.keyed && line.fields.size() == 1) {
            line.keyed = true, line.key = line.fields[0];
        }
        return line;
    }
};

// Parses an INF's text; the error and its line, or 0.
std::pair<DWORD, UINT> parse(const std::string &text, inf_text &inf) {
    std::istringstream in(text.substr(0, text.find('\x1a')));
    inf_section *section = nullptr;
    std::optional<line_reader> joined; // a line a `\` continues
    UINT number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line.erase(line.find_last_not_of('\r') + 1);
        const std::size_t first = line.find_first_not_of(" \t");
        if (joined) {
            const bool more = joined->read(line, first == std::string::npos ? line.size() : first);
            if (!more) {
                section->lines.push_back(joined->done());
                joined.reset();
            }
            continue;
        }
        if (first == std::string::npos || line[first] == ';') {
            continue;
        }
        if (line[first] == '[') {
            const std::size_t close = line.find(']', first);
            if (close == std::string::npos) {
                return {ERROR_BAD_SECTION_NAME_LINE, number};
            }
            const std::string name = line.substr(first + 1, close - first - 1);
            if (name.size() > 255) {
                return {ERROR_SECTION_NAME_TOO_LONG, number};
            }
            const int known = section_of(inf, name);
            section = known >= 0 ? &inf.sections[static_cast<std::size_t>(known)]
                                 : &inf.sections.emplace_back(inf_section{name, {}});
            continue;
        }
        if (section == nullptr) {
            return {ERROR_EXPECTED_SECTION_NAME, number};
        }
        line_reader reader;
        if (reader.read(line, first)) {
            joined = reader;
        } else if (reader.any) {
            section->lines.push_back(reader.done());
        }
    }
    if (joined) {
        section->lines.push_back(joined->done());
    }
    return {0, 0};
}

bool signed_win4(const inf_text &inf) {
    const int version = section_of(inf, "Version");
    for (const inf_line &line : version < 0
                                    ? std::vector<inf_line>{}
                                    : inf.sections[static_cast<std::size_t>(version)].lines) {
        if (line.keyed && lower(line.key) == "signature" && !line.fields.empty()) {
            const std::string s = lower(line.fields[0]);
            return s == "$windows nt$" || s == "$chicago$" || s == "$windows 95$";
        }
    }
    return false;
}

// A field's text with %name% replaced from [Strings].
std::string substituted(const inf_text &inf, const std::string &text) {
    const int strings = section_of(inf, "Strings");
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::size_t close = text.find('%', at + 1);
        if (text[at] != '%' || close == std::string::npos) {
            out += text[at];
            continue;
        }
        const std::string name = text.substr(at + 1, close - at - 1);
        std::string value = name.empty() ? "%" : "%" + name + "%";
        for (const inf_line &line : strings < 0 || name.empty()
                                        ? std::vector<inf_line>{}
                                        : inf.sections[static_cast<std::size_t>(strings)].lines) {
            if (line.keyed && lower(line.key) == lower(name)) {
                value = line.fields.empty() ? "" : line.fields[0];
                break;
            }
        }
        out += value;
        at = close;
    }
    return out;
}

// The file a name opens: a path as given; a bare name in the Windows INF
// folder, then the system folder, as SetupAPI looks for it.
std::string file_of(const std::string &name) {
    if (name.find_first_of("/\\") != std::string::npos) {
        return name;
    }
    const machine &m = st().m;
    for (const std::optional<std::string> &folder :
         {m.windows_folder ? std::optional<std::string>(*m.windows_folder + "/inf") : std::nullopt,
          m.system_folder}) {
        if (folder && std::ifstream(*folder + "/" + name).good()) {
            return *folder + "/" + name;
        }
    }
    return "";
}

// Opens an INF file and parses it: the error and line where it cannot.
HINF open_inf_file(const std::string &name, DWORD style, PUINT error_line) {
    const std::string path = file_of(name);
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        const std::size_t slash = path.rfind('/');
        const bool in_a_folder =
            slash == std::string::npos || ::stat(path.substr(0, slash + 1).c_str(), &info) == 0;
        return failed(in_a_folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND,
                      INVALID_HANDLE_VALUE);
    }
    std::ifstream file(path, std::ios::binary);
    if (S_ISDIR(info.st_mode) || !file) {
        return failed(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (text.empty()) {
        return failed(ERROR_FILE_INVALID, INVALID_HANDLE_VALUE); // no mapping of an empty file
    }
    auto inf = std::make_shared<inf_text>();
    const auto [error, line] = parse(text, *inf);
    if (error != 0 || (!signed_win4(*inf) && (style & INF_STYLE_WIN4) != 0)) {
        if (error_line != nullptr) {
            *error_line = line;
        }
        return failed(error != 0 ? error : ERROR_WRONG_INF_STYLE, INVALID_HANDLE_VALUE);
    }
    handle_obj h;
    h.kind = handle_kind::inf;
    h.inf = inf;
    return new_handle(h);
}

// The INF a handle holds open, or none (a misuse, told).
const inf_text *open_inf(const char *function, HINF handle) {
    const handle_obj *h = find_handle(handle);
    if (h == nullptr || h->kind != handle_kind::inf) {
        return refused(function, "not an open INF", ERROR_INVALID_HANDLE,
                       static_cast<const inf_text *>(nullptr));
    }
    return h->inf.get();
}

// The line a context stands on, or none (a misuse, told).
const inf_line *line_at(const char *function, const INFCONTEXT *context, const inf_text **inf) {
    if (context == nullptr) {
        return refused(function, "no context", ERROR_INVALID_PARAMETER,
                       static_cast<const inf_line *>(nullptr));
    }
    *inf = open_inf(function, context->Inf);
    if (*inf == nullptr || context->CurrentInf != context->Inf ||
        context->Section >= (*inf)->sections.size() ||
        context->Line >= (*inf)->sections[context->Section].lines.size()) {
        return *inf == nullptr
                   ? nullptr
                   : refused(function, "a context no search of this INF gave",
                             ERROR_INVALID_PARAMETER, static_cast<const inf_line *>(nullptr));
    }
    return &(*inf)->sections[context->Section].lines[context->Line];
}

} // namespace

} // namespace emu

using namespace emu;

HINF SetupOpenInfFileA(PCSTR file_name, PCSTR /* any class, or none */, DWORD style,
                       PUINT error_line) {
    enter("SetupOpenInfFileA");
    if (file_name == nullptr || style == 0 || (style & ~(INF_STYLE_OLDNT | INF_STYLE_WIN4)) != 0) {
        return refused("SetupOpenInfFileA", "no file name, or not an INF style",
                       ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    return open_inf_file(file_name, style, error_line);
}

BOOL SetupFindFirstLineA(HINF handle, PCSTR section, PCSTR key, PINFCONTEXT context) {
    enter("SetupFindFirstLineA");
    const inf_text *inf = open_inf("SetupFindFirstLineA", handle);
    if (inf == nullptr || section == nullptr || context == nullptr) {
        return inf == nullptr ? FALSE
                              : refused("SetupFindFirstLineA", "no section or no context",
                                        ERROR_INVALID_PARAMETER);
    }
    const int found = section_of(*inf, section);
    const std::size_t count =
        found < 0 ? 0 : inf->sections[static_cast<std::size_t>(found)].lines.size();
    for (std::size_t i = 0; i < count; ++i) {
        const inf_line &line = inf->sections[static_cast<std::size_t>(found)].lines[i];
        if (key == nullptr || (line.keyed && lower(line.key) == lower(key))) {
            *context = INFCONTEXT{handle, handle, static_cast<UINT>(found), static_cast<UINT>(i)};
            return failed(0, TRUE);
        }
    }
    return failed(ERROR_LINE_NOT_FOUND, FALSE);
}

BOOL SetupFindNextLine(PINFCONTEXT context_in, PINFCONTEXT context_out) {
    enter("SetupFindNextLine");
    const inf_text *inf = nullptr;
    if (line_at("SetupFindNextLine", context_in, &inf) == nullptr) {
        return FALSE;
    }
    if (context_out == nullptr) {
        return refused("SetupFindNextLine", "no context out", ERROR_INVALID_PARAMETER);
    }
    if (context_in->Line + 1 >= inf->sections[context_in->Section].lines.size()) {
        return failed(ERROR_LINE_NOT_FOUND, FALSE);
    }
    *context_out = *context_in;
    ++context_out->Line;
    return failed(0, TRUE);
}

BOOL SetupGetStringFieldA(PINFCONTEXT context, DWORD index, PSTR buffer, DWORD size,
                          PDWORD required) {
    enter("SetupGetStringFieldA");
    const inf_text *inf = nullptr;
    const inf_line *line = line_at("SetupGetStringFieldA", context, &inf);
    if (line == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr && size != 0) {
        return refused("SetupGetStringFieldA", "no buffer for a size that is not 0",
                       ERROR_INVALID_PARAMETER);
    }
    SetLastError(0);
    if (index == 0 ? !line->keyed : index > line->fields.size()) {
        return FALSE; // no such field: the last error stays 0
    }
    const std::string text = substituted(*inf, index == 0 ? line->key : line->fields[index - 1]);
    if (required != nullptr) {
        *required = static_cast<DWORD>(text.size() + 1);
    }
    if (buffer != nullptr && size <= text.size()) {
        return failed(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (buffer != nullptr) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
    }
    return TRUE;
}

void SetupCloseInfFile(HINF handle) {
    enter("SetupCloseInfFile");
    if (open_inf("SetupCloseInfFile", handle) != nullptr) {
        st().handles.erase(reinterpret_cast<std::uintptr_t>(handle));
    }
}
