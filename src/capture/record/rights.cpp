// Who may change what quorvex runs as an administrator: for quorvex's folder,
// the current folder (where wdreg opens each INF) and each folder a program's
// search passes up to the one it is found in, whether its volume keeps rights
// at all (FILE_PERSISTENT_ACLS; FAT32 keeps none) and, where it does, who of
// Everyone, Authenticated Users, Users and Interactive its DACL lets add or
// change files there.
//
// The rights counted as writing a folder: FILE_ADD_FILE (the bit of
// FILE_WRITE_DATA) puts a file in it; FILE_ADD_SUBDIRECTORY (the bit of
// FILE_APPEND_DATA) a subfolder, where an INF's files may be; WRITE_DAC and
// WRITE_OWNER let one give oneself any right; DELETE lets the folder be moved
// away and another put in its place; GENERIC_WRITE and GENERIC_ALL hold the
// first. FILE_DELETE_CHILD is not counted: removing a file puts nothing in its
// place.
#include "capture/record/files.h"

#include "platform/description/table.h"
#include "platform/win32.h"

#include <cstring>

namespace {

using desc::lower;

constexpr ACCESS_MASK write_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | WRITE_DAC |
                                     WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;

struct group {
    const char *name;
    BYTE authority; // the last byte of its identifier authority
    BYTE count;
    DWORD first, second; // its subauthorities
    unsigned token;      // the groups a member's token holds, as bits of `groups`
};
// A member of Users is also in Authenticated Users and in Everyone; one logged
// on at the PC is in Interactive and in Everyone.
constexpr group groups[] = {
    {"Everyone", 1, 1, SECURITY_WORLD_RID, 0, 0b0001},
    {"Authenticated Users", 5, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0b0011},
    {"Users", 5, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0b0111},
    {"Interactive", 5, 1, SECURITY_INTERACTIVE_RID, 0, 0b1001},
};
constexpr std::size_t group_count = sizeof groups / sizeof groups[0];

struct well_known {
    PSID sids[group_count] = {};
    well_known() {
        for (std::size_t g = 0; g < group_count; ++g) {
            SID_IDENTIFIER_AUTHORITY authority{};
            authority.Value[5] = groups[g].authority;
            if (!AllocateAndInitializeSid(&authority, groups[g].count, groups[g].first,
                                          groups[g].second, 0, 0, 0, 0, 0, 0, &sids[g])) {
                sids[g] = nullptr;
            }
        }
    }
    ~well_known() {
        for (PSID sid : sids) {
            if (sid != nullptr) {
                FreeSid(sid);
            }
        }
    }
    well_known(const well_known &) = delete;
    well_known &operator=(const well_known &) = delete;
};

// Whether an ACE's SID is one of the groups of a token.
bool in_token(const well_known &known, PSID sid, unsigned token) {
    for (std::size_t g = 0; g < group_count; ++g) {
        if ((token & (1u << g)) != 0 && known.sids[g] != nullptr && EqualSid(sid, known.sids[g])) {
            return true;
        }
    }
    return false;
}

// The write rights a token gets, ACE by ACE in the DACL's order as Windows
// weighs them: a right denied before it is allowed stays denied. Inherit-only
// ACEs are for what is made inside, not for the folder. false: GetAce failed.
bool token_writes(const well_known &known, PACL dacl, unsigned token, ACCESS_MASK &granted) {
    ACCESS_MASK denied = 0;
    granted = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            return false;
        }
        const auto *header = static_cast<const ACE_HEADER *>(ace);
        const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE)) {
            continue;
        }
        auto *entry = static_cast<ACCESS_ALLOWED_ACE *>(ace); // a deny ACE has its layout
        if (in_token(known, &entry->SidStart, token)) {
            const ACCESS_MASK mask = entry->Mask & write_rights;
            (allow ? granted : denied) |= mask & ~(allow ? denied : granted);
        }
    }
    return true;
}

// Who may write, the widest groups only: where Everyone may, so may the rest.
void read_dacl(folder_rights &r, PACL dacl) {
    const well_known known;
    unsigned writers = 0;
    for (std::size_t g = 0; g < group_count; ++g) {
        ACCESS_MASK granted = 0;
        if (!token_writes(known, dacl, groups[g].token, granted)) {
            r.failed = "GetAce";
            r.error = GetLastError();
            return;
        }
        writers |= granted != 0 ? 1u << g : 0;
    }
    for (std::size_t g = 0; g < group_count; ++g) {
        bool wider = false;
        for (std::size_t h = 0; h < group_count; ++h) {
            wider = wider || (h != g && (writers & (1u << h)) != 0 &&
                              (groups[h].token & groups[g].token) == groups[h].token);
        }
        if ((writers & (1u << g)) != 0 && !wider) {
            r.writers.push_back(groups[g].name);
        }
    }
}

void read_volume(folder_rights &r) {
    char root[MAX_PATH + 1], system[MAX_PATH + 1];
    DWORD flags = 0;
    if (!GetVolumePathNameA(r.folder.c_str(), root, sizeof root)) {
        r.failed = "GetVolumePathNameA";
    } else if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, system,
                                      sizeof system)) {
        r.failed = "GetVolumeInformationA";
    } else {
        r.file_system = system;
        r.no_acls = (flags & FILE_PERSISTENT_ACLS) == 0;
        return;
    }
    r.error = GetLastError();
}

void read_rights(folder_rights &r) {
    read_volume(r);
    if (r.no_acls || !r.failed.empty()) {
        return;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        GetNamedSecurityInfoA(r.folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        r.failed = "GetNamedSecurityInfoA";
        r.error = error;
        return;
    }
    if (dacl == nullptr) { // no DACL: full access to everyone
        r.writers.push_back(groups[0].name);
    } else {
        read_dacl(r, dacl);
    }
    LocalFree(descriptor);
}

bool known(const files_found &found, const std::string &folder, std::size_t first) {
    for (std::size_t i = 0; i < first; ++i) {
        if (lower(found.rights[i].folder) == lower(folder)) {
            return true;
        }
    }
    return false;
}

folder_rights &entry(files_found &found, const std::string &folder) {
    for (folder_rights &r : found.rights) {
        if (lower(r.folder) == lower(folder)) {
            return r;
        }
    }
    folder_rights &r = found.rights.emplace_back();
    r.folder = folder;
    return r;
}

} // namespace

void find_rights(files_found &found) {
    const pc_folders &f = found.where;
    entry(found, f.quorvex).quorvex = true;
    entry(found, f.current).current = true;
    const auto places = program_places(f);
    // A program found nowhere is a finding of its own, mended by putting it in
    // quorvex's folder, which is searched first: of its search, only the
    // folders checked anyway are told.
    const std::size_t checked = found.rights.size();
    for (const program_file &p : found.programs) {
        for (const auto &[folder, words] : places) {
            if (p.folder.empty() && !known(found, folder, checked)) {
                continue;
            }
            folder_rights &r = entry(found, folder);
            r.searched = true;
            if (lower(folder) == lower(p.folder)) {
                r.runs.push_back(p.name);
                break;
            }
            r.looked.push_back(p.name);
        }
    }
    for (folder_rights &r : found.rights) {
        read_rights(r);
    }
}
