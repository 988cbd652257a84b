// What an INF file names, read with SetupAPI's INF functions (never by hand):
// its catalog and the source files of its [SourceDisksFiles] sections, placed
// by its [SourceDisksNames] sections. A decorated section (.x86) is looked in
// first for a disk or a file, the undecorated one after it, as SetupAPI places
// a source file of an x86 install.
#include "capture/record/files.h"

#include "platform/description/table.h"
#include "platform/win32.h"

#include <map>
#include <set>

namespace {

using desc::lower;

// Field `index` of the line a context stands on ("" where the line has none).
std::string field(INFCONTEXT &context, DWORD index) {
    char text[1024];
    DWORD needed = 0;
    if (!SetupGetStringFieldA(&context, index, text, sizeof text, &needed)) {
        return "";
    }
    return text;
}

// Fields 0 (the key) to `last` of each line of a section.
std::vector<std::vector<std::string>> lines_of(HINF inf, const char *section, DWORD last) {
    std::vector<std::vector<std::string>> lines;
    INFCONTEXT context;
    for (BOOL more = SetupFindFirstLineA(inf, section, nullptr, &context); more;
         more = SetupFindNextLine(&context, &context)) {
        std::vector<std::string> line;
        for (DWORD i = 0; i <= last; ++i) {
            line.push_back(field(context, i));
        }
        lines.push_back(line);
    }
    return lines;
}

std::optional<std::string> catalog_of(HINF inf) {
    for (const char *key : {"CatalogFile.NTx86", "CatalogFile.NT", "CatalogFile"}) {
        INFCONTEXT context;
        if (SetupFindFirstLineA(inf, "Version", key, &context)) {
            const std::string name = field(context, 1);
            if (!name.empty()) {
                return name;
            }
        }
    }
    return std::nullopt;
}

// The pieces of INF paths ("\i386", "lib") and a name, joined with `separator`.
std::string relative(const std::vector<std::string> &pieces, char separator) {
    std::string path;
    for (const std::string &piece : pieces) {
        std::string part;
        for (const char c : piece + "\\") {
            if (c != '\\' && c != '/') {
                part += c;
            } else if (!part.empty()) {
                path += (path.empty() ? "" : std::string(1, separator)) + part;
                part.clear();
            }
        }
    }
    return path;
}

} // namespace

const char inf_reader[] = "SetupOpenInfFileA";

inf_contents read_inf(const std::string &path, char separator) {
    inf_contents inf;
    UINT error_line = 0;
    const HINF handle = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &error_line);
    if (handle == INVALID_HANDLE_VALUE) {
        inf.error = GetLastError();
        inf.line = error_line;
        return inf;
    }
    inf.opened = true;
    inf.catalog = catalog_of(handle);
    std::map<std::string, std::string> disks; // by lower-case disk ID: the disk's path
    for (const char *section : {"SourceDisksNames.x86", "SourceDisksNames"}) {
        for (const std::vector<std::string> &line : lines_of(handle, section, 4)) {
            disks.emplace(lower(line[0]), line[4]);
        }
    }
    std::set<std::string> named;
    for (const char *section : {"SourceDisksFiles.x86", "SourceDisksFiles"}) {
        for (const std::vector<std::string> &line : lines_of(handle, section, 2)) {
            if (!line[0].empty() && named.insert(lower(line[0])).second) {
                const auto disk = disks.find(lower(line[1]));
                const std::string folder = disk == disks.end() ? "" : disk->second;
                inf.files.push_back(relative({folder, line[2], line[0]}, separator));
            }
        }
    }
    SetupCloseInfFile(handle);
    return inf;
}
