// Rights and volumes on the emulated machine: a folder's DACL as
// GetNamedSecurityInfoA hands it out, built from the description's
// `folder_rights`, with GetAce, LocalFree and the SID calls that read it, and
// the volume a folder is on (GetVolumePathNameA, GetVolumeInformationA) from
// `no_acl_volumes`. Folders are the Linux file system's; a volume's root is
// the folder it is mounted at with '/' after it, "/" for the one NTFS volume
// that holds every folder not on a listed volume.
//
// A folder's DACL, in the order Windows puts a folder's ACEs: SYSTEM and
// Administrators with full control, Users with read and execute, CREATOR
// OWNER with full control on what is made inside (inherit-only), then each
// group the description names with the rights to add files and subfolders. On a
// volume without rights the descriptor has no DACL: full access to everyone.
#include "platform/emu/state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>

using namespace emu;

namespace {

struct sid_bytes {
    std::vector<std::uint8_t> bytes;
};

sid_bytes make_sid(std::uint8_t authority, std::initializer_list<std::uint32_t> subs) {
    sid_bytes s;
    s.bytes = {1, static_cast<std::uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
    for (const std::uint32_t sub : subs) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(&sub);
        s.bytes.insert(s.bytes.end(), p, p + 4);
    }
    return s;
}

sid_bytes group_sid(const std::string &group) {
    return group == "Everyone"              ? make_sid(1, {SECURITY_WORLD_RID})
           : group == "Authenticated Users" ? make_sid(5, {SECURITY_AUTHENTICATED_USER_RID})
           : group == "Interactive"
               ? make_sid(5, {SECURITY_INTERACTIVE_RID})
               : make_sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
}

// The blocks handed out: descriptors (LocalFree) and SIDs (FreeSid), each with its size.
std::map<const std::uint8_t *, std::size_t> &descriptors() {
    static std::map<const std::uint8_t *, std::size_t> blocks;
    return blocks;
}
std::set<const void *> &sids() {
    static std::set<const void *> blocks;
    return blocks;
}

std::string normal(const std::string &path) {
    std::error_code error;
    std::string p =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path), error).string();
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

// The root of the volume a folder is on, with '/' after it.
std::string volume_of(const std::string &path) {
    const std::string p = normal(path);
    std::string best = "/";
    for (const std::string &volume : st().m.no_acl_volumes) {
        const std::string v = normal(volume);
        if ((p == v || p.rfind(v + "/", 0) == 0) && v.size() + 1 > best.size()) {
            best = v + "/";
        }
    }
    return best;
}

void add_ace(std::vector<std::uint8_t> &acl, std::uint8_t type, std::uint8_t flags,
             std::uint32_t mask, const sid_bytes &sid) {
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = type;
    ace.Header.AceFlags = flags;
    ace.Header.AceSize =
        static_cast<WORD>(offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid.bytes.size());
    ace.Mask = mask;
    const auto *p = reinterpret_cast<const std::uint8_t *>(&ace);
    acl.insert(acl.end(), p, p + offsetof(ACCESS_ALLOWED_ACE, SidStart));
    acl.insert(acl.end(), sid.bytes.begin(), sid.bytes.end());
    ACL *header = reinterpret_cast<ACL *>(acl.data());
    header->AclSize = static_cast<WORD>(acl.size());
    ++header->AceCount;
}

std::vector<std::uint8_t> folder_acl(const std::string &folder) {
    std::vector<std::uint8_t> acl(sizeof(ACL), 0);
    reinterpret_cast<ACL *>(acl.data())->AclRevision = ACL_REVISION;
    const std::uint8_t inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    add_ace(acl, ACCESS_ALLOWED_ACE_TYPE, inherit, FILE_ALL_ACCESS,
            make_sid(5, {SECURITY_LOCAL_SYSTEM_RID}));
    add_ace(acl, ACCESS_ALLOWED_ACE_TYPE, inherit, FILE_ALL_ACCESS,
            make_sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}));
    add_ace(acl, ACCESS_ALLOWED_ACE_TYPE, inherit, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
            group_sid("Users"));
    add_ace(acl, ACCESS_ALLOWED_ACE_TYPE, inherit | INHERIT_ONLY_ACE, GENERIC_ALL,
            make_sid(3, {SECURITY_CREATOR_OWNER_RID}));
    const std::string p = normal(folder);
    for (const auto &[listed, groups] : st().m.folder_rights) {
        for (const std::string &group : normal(listed) == p ? groups : std::vector<std::string>{}) {
            add_ace(acl, ACCESS_ALLOWED_ACE_TYPE, inherit, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                    group_sid(group));
        }
    }
    return acl;
}

// A self-relative descriptor of 20 bytes (revision, control, four offsets),
// its DACL after it; `acl` empty: no DACL.
std::uint8_t *new_descriptor(const std::vector<std::uint8_t> &acl) {
    const std::size_t size = 20 + acl.size();
    auto *block = static_cast<std::uint8_t *>(std::calloc(1, size));
    block[0] = 1;
    block[2] = 0x04; // SE_DACL_PRESENT: a NULL DACL where it has none
    block[3] = 0x80; // SE_SELF_RELATIVE
    block[16] = acl.empty() ? 0 : 20;
    std::memcpy(block + 20, acl.data(), acl.size());
    descriptors()[block] = size;
    return block;
}

bool in_a_descriptor(const void *p, std::size_t bytes) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    for (const auto &[block, size] : descriptors()) {
        if (b >= block && b + bytes <= block + size) {
            return true;
        }
    }
    return false;
}

std::size_t sid_size(const void *sid) {
    return 8 + 4 * static_cast<std::size_t>(static_cast<const std::uint8_t *>(sid)[1]);
}

} // namespace

DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                            PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                            PSECURITY_DESCRIPTOR *descriptor) {
    const char *const function = "GetNamedSecurityInfoA";
    enter(function);
    if (name == nullptr || type != SE_FILE_OBJECT) {
        return refused<DWORD>(function,
                              "no name, or not SE_FILE_OBJECT: only files and folders "
                              "are answered here",
                              ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    }
    if (info != DACL_SECURITY_INFORMATION || owner != nullptr || group != nullptr ||
        sacl != nullptr || descriptor == nullptr) {
        return refused<DWORD>(function,
                              "only the DACL is answered here: DACL_SECURITY_INFORMATION, "
                              "no owner, group or SACL, and a descriptor to free",
                              ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    }
    struct stat info_of {};
    if (::stat(name, &info_of) != 0) {
        const DWORD error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        return failed<DWORD>(error, error);
    }
    const bool rights = volume_of(name) == "/"; // every other volume keeps none
    std::uint8_t *block = new_descriptor(rights ? folder_acl(name) : std::vector<std::uint8_t>{});
    *descriptor = block;
    if (dacl != nullptr) {
        *dacl = rights ? reinterpret_cast<PACL>(block + 20) : nullptr;
    }
    return ERROR_SUCCESS;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID *ace) {
    enter("GetAce");
    if (acl == nullptr || ace == nullptr || !in_a_descriptor(acl, sizeof(ACL)) ||
        acl->AclRevision != ACL_REVISION) {
        return refused("GetAce", "not a DACL from GetNamedSecurityInfoA, or no ACE pointer",
                       ERROR_INVALID_PARAMETER);
    }
    if (index >= acl->AceCount) {
        return failed(ERROR_INVALID_PARAMETER);
    }
    auto *at = reinterpret_cast<std::uint8_t *>(acl) + sizeof(ACL);
    for (DWORD i = 0; i < index; ++i) {
        at += reinterpret_cast<ACE_HEADER *>(at)->AceSize;
    }
    *ace = at;
    return TRUE;
}

HLOCAL LocalFree(HLOCAL block) {
    enter("LocalFree");
    if (block == nullptr) {
        return nullptr;
    }
    const auto it = descriptors().find(static_cast<std::uint8_t *>(block));
    if (it == descriptors().end()) {
        return refused("LocalFree", "not a live descriptor from GetNamedSecurityInfoA",
                       ERROR_INVALID_HANDLE, block);
    }
    descriptors().erase(it);
    std::free(block);
    return nullptr;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1,
                              DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                              PSID *sid) {
    enter("AllocateAndInitializeSid");
    if (authority == nullptr || sid == nullptr || count == 0 || count > 8) {
        return refused("AllocateAndInitializeSid",
                       "no authority or SID pointer, or not 1 to 8 subauthorities",
                       ERROR_INVALID_PARAMETER);
    }
    const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    auto *block = static_cast<std::uint8_t *>(std::malloc(8 + std::size_t{4} * count));
    if (block == nullptr) {
        return failed(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    }
    block[0] = 1;
    block[1] = count;
    std::memcpy(block + 2, authority->Value, 6);
    std::memcpy(block + 8, subs, std::size_t{4} * count);
    sids().insert(block);
    *sid = block;
    return TRUE;
}

// Either SID may be one of AllocateAndInitializeSid's or one inside a DACL.
BOOL EqualSid(PSID a, PSID b) {
    enter("EqualSid");
    for (const PSID sid : {a, b}) {
        if (sid == nullptr || (!sids().contains(sid) && !in_a_descriptor(sid, 8)) ||
            static_cast<const std::uint8_t *>(sid)[0] != 1) {
            return refused("EqualSid", "not a valid SID", ERROR_INVALID_SID);
        }
    }
    SetLastError(ERROR_SUCCESS);
    return sid_size(a) == sid_size(b) && std::memcmp(a, b, sid_size(a)) == 0;
}

PVOID FreeSid(PSID sid) {
    enter("FreeSid");
    if (sids().erase(sid) == 0) {
        return refused("FreeSid", "not a SID from AllocateAndInitializeSid",
                       ERROR_INVALID_PARAMETER, sid);
    }
    std::free(sid);
    return nullptr;
}

BOOL GetVolumePathNameA(LPCSTR file_name, LPSTR volume, DWORD size) {
    enter("GetVolumePathNameA");
    if (file_name == nullptr || volume == nullptr || *file_name == '\0') {
        return refused("GetVolumePathNameA", "no path or no buffer", ERROR_INVALID_PARAMETER);
    }
    const std::string root = volume_of(file_name);
    if (root.size() + 1 > size) {
        return failed(ERROR_FILENAME_EXCED_RANGE);
    }
    std::memcpy(volume, root.c_str(), root.size() + 1);
    return TRUE;
}

// NTFS keeps rights (FILE_PERSISTENT_ACLS); FAT32 keeps none.
BOOL GetVolumeInformationA(LPCSTR root, LPSTR name, DWORD name_size, LPDWORD serial,
                           LPDWORD longest, LPDWORD flags, LPSTR file_system, DWORD system_size) {
    const char *const function = "GetVolumeInformationA";
    enter(function);
    if ((name == nullptr && name_size != 0) || (file_system == nullptr && system_size != 0)) {
        return refused(function, "no buffer for a size that is not 0", ERROR_INVALID_PARAMETER);
    }
    const std::string path = root != nullptr ? root : normal(".") + "/";
    if (path.empty() || path.back() != '/') {
        return failed(ERROR_INVALID_NAME); // a root needs its separator
    }
    if (volume_of(path) != (path == "/" ? path : normal(path) + "/")) {
        return failed(ERROR_DIR_NOT_ROOT);
    }
    const bool ntfs = path == "/";
    const std::string system = ntfs ? "NTFS" : "FAT32";
    if ((name != nullptr && name_size < 1) ||
        (file_system != nullptr && system.size() + 1 > system_size)) {
        return failed(ERROR_BAD_LENGTH);
    }
    if (name != nullptr) {
        *name = '\0';
    }
    if (file_system != nullptr) {
        std::memcpy(file_system, system.c_str(), system.size() + 1);
    }
    if (serial != nullptr) {
        *serial = ntfs ? 0x1C2B3A49u : 0x4E21F0A3u;
    }
    if (longest != nullptr) {
        *longest = 255;
    }
    if (flags != nullptr) {
        *flags = ntfs ? FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                            FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS
                      : FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    }
    return TRUE;
}
