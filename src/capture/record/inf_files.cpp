// What an INF file names, read with SetupAPI's INF functions (never by hand):
// its catalog and the source files of its [SourceDisksFiles] sections, placed
// by its [SourceDisksNames] sections. A decorated section (.x86) is looked in
// first for a disk or a file, the undecorated one after it, as SetupAPI places
// a source file of an x86 install. Then its driver's [Version] and the IDs of
// the devices it installs: for each [Manufacturer] line, the models section
// an x86 install takes, as Windows picks it from the decorations the line lists.
#include "capture/record/files.h"

#include "platform/description/table.h"
#include "platform/win32.h"

#include <cstdlib>
#include <map>
#include <set>

namespace {

using desc::lower;

// Field `index` of the line a context stands on, where the line has it.
std::optional<std::string> field_of(INFCONTEXT &context, DWORD index) {
    char text[1024];
    DWORD needed = 0;
    if (!SetupGetStringFieldA(&context, index, text, sizeof text, &needed)) {
        return std::nullopt;
    }
    return std::string(text);
}

std::string field(INFCONTEXT &context, DWORD index) {
    return field_of(context, index).value_or("");
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

// Field `index` of a section's line keyed `key` ("" where there is none).
std::string value_of(HINF inf, const char *section, const char *key, DWORD index) {
    INFCONTEXT context;
    return SetupFindFirstLineA(inf, section, key, &context) ? field(context, index) : "";
}

// How well a models section's decoration (NT[architecture][.major[.minor...]])
// fits an x86 Windows major.minor: -1 where it does not; otherwise the higher
// the version it names the better, and with it the one that names x86.
long fit(const std::string &decoration, unsigned major, unsigned minor) {
    const std::string d = lower(decoration);
    if (d.compare(0, 2, "nt") != 0) {
        return -1;
    }
    const std::size_t dot = d.find('.');
    const std::string architecture = d.substr(2, dot == std::string::npos ? dot : dot - 2);
    unsigned names[2] = {0, 0};
    std::size_t at = dot;
    for (unsigned &n : names) {
        if (at != std::string::npos && at + 1 < d.size()) {
            n = static_cast<unsigned>(std::strtoul(d.c_str() + at + 1, nullptr, 10));
            at = d.find('.', at + 1);
        }
    }
    if ((!architecture.empty() && architecture != "x86") ||
        (names[0] != major ? names[0] > major : names[1] > minor)) {
        return -1;
    }
    return static_cast<long>((names[0] << 17) | (names[1] << 1)) + (architecture.empty() ? 0 : 1);
}

// The models section an x86 install takes for a [Manufacturer] line (field 1
// the models' name, fields 2 on its decorations): the best fitting decorated
// section where the INF has it, else the undecorated one.
std::string models_of(HINF inf, INFCONTEXT &line, unsigned major, unsigned minor) {
    const std::string models = field(line, 1);
    std::string best;
    long best_fit = -1;
    for (DWORD i = 2; const std::optional<std::string> decoration = field_of(line, i); ++i) {
        if (const long f = fit(*decoration, major, minor); f > best_fit) {
            best = *decoration, best_fit = f;
        }
    }
    INFCONTEXT context;
    const std::string decorated = models + "." + best;
    return best_fit >= 0 && SetupFindFirstLineA(inf, decorated.c_str(), nullptr, &context)
               ? decorated
               : models;
}

void add_once(std::vector<std::string> &ids, const std::string &id) {
    for (const std::string &known : ids) {
        if (lower(known) == lower(id)) {
            return;
        }
    }
    if (!id.empty()) {
        ids.push_back(id);
    }
}

// The hardware and compatible IDs of the models sections an x86 install takes.
void read_models(HINF handle, inf_contents &inf, unsigned major, unsigned minor) {
    std::set<std::string> taken;
    INFCONTEXT maker;
    for (BOOL more = SetupFindFirstLineA(handle, "Manufacturer", nullptr, &maker); more;
         more = SetupFindNextLine(&maker, &maker)) {
        const std::string models = models_of(handle, maker, major, minor);
        if (!taken.insert(lower(models)).second) {
            continue;
        }
        INFCONTEXT model;
        for (BOOL next = SetupFindFirstLineA(handle, models.c_str(), nullptr, &model); next;
             next = SetupFindNextLine(&model, &model)) {
            add_once(inf.hardware_ids, field(model, 2));
            for (DWORD i = 3; const std::optional<std::string> id = field_of(model, i); ++i) {
                add_once(inf.compatible_ids, *id);
            }
        }
    }
}

} // namespace

const char inf_reader[] = "SetupOpenInfFileA";

inf_contents read_inf(const std::string &path, char separator, unsigned major, unsigned minor) {
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
    inf.driver_date = value_of(handle, "Version", "DriverVer", 1);
    inf.driver_version = value_of(handle, "Version", "DriverVer", 2);
    inf.provider = value_of(handle, "Version", "Provider", 1);
    read_models(handle, inf, major, minor);
    SetupCloseInfFile(handle);
    return inf;
}
