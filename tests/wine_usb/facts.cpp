// Runs the facts table (facts.txt, whose head explains the steps): each row's
// steps through the real Win32 calls, their answers compared with Windows'. The
// same source runs on the emulated machine (QUORVEX_MACHINE names facts.json)
// and, built for Windows, under Wine against the USB stand-in with that
// description loaded as its table. One line for each row that differs, then a
// count; the status is 1 if any row differs.
//
// usage: facts TABLE SIDE     SIDE: emulation or wine; a row runs where its last
//                            column says (both, or the side's name), under
//                            Wine against the answer a difference declares
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const GUID host_controllers = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

// What a row opens and where it stands, released when the row ends.
struct row {
    std::vector<HANDLE> handles;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA data{};
    DEVINST node = 0;
    HINF inf = INVALID_HANDLE_VALUE;
    INFCONTEXT line{};
    HKEY key = nullptr;
    ~row() {
        if (inf != INVALID_HANDLE_VALUE) {
            SetupCloseInfFile(inf);
        }
        if (key != nullptr) {
            RegCloseKey(key);
        }
        for (HANDLE h : handles) {
            CloseHandle(h);
        }
        if (set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set);
        }
    }
};

// A step: its verb, its argument (a path, a code, an ID, a number), NAME=VALUE
// options, @AT:SIZE fields, and whether it tells the DEVINST a failure left.
struct words {
    std::string verb, arg;
    std::map<std::string, unsigned long> options;
    std::vector<std::string> fields;
    bool devinst = false;
    unsigned long option(const std::string &name, unsigned long otherwise) const {
        return options.count(name) != 0 ? options.at(name) : otherwise;
    }
};

std::string hex(unsigned long value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

// SetupAPI's own errors (0xE...) in hexadecimal, the others in decimal.
std::string failed(DWORD error) {
    return "error " + (error >= 0xE0000000 ? hex(error, 8) : std::to_string(error));
}

// The folder of the table, which an INF's path is relative to.
std::string table_folder;

std::string inf(row &r, const words &w) {
    if (w.verb == "inf") {
        UINT line = 0;
        const std::string path = table_folder + w.arg;
        r.inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &line);
        return r.inf != INVALID_HANDLE_VALUE
                   ? "ok"
                   : failed(GetLastError()) + " line " + std::to_string(line);
    }
    BOOL done = FALSE;
    if (w.verb == "find") { // SECTION or SECTION/KEY
        const auto slash = w.arg.find('/');
        const std::string section = w.arg.substr(0, slash);
        const std::string key = slash == std::string::npos ? "" : w.arg.substr(slash + 1);
        done = SetupFindFirstLineA(r.inf, section.c_str(), key.empty() ? nullptr : key.c_str(),
                                   &r.line);
    } else if (w.verb == "next") {
        done = SetupFindNextLine(&r.line, &r.line);
    } else { // field N [size=N]
        char text[512];
        const DWORD size = w.option("size", sizeof text);
        DWORD needed = 0;
        SetLastError(0);
        if (SetupGetStringFieldA(&r.line, std::strtoul(w.arg.c_str(), nullptr, 0), text, size,
                                 &needed)) {
            return "ok " + std::string(text);
        }
        return failed(GetLastError()) + (GetLastError() == ERROR_INSUFFICIENT_BUFFER
                                             ? " needs " + std::to_string(needed)
                                             : "");
    }
    return done ? "ok" : failed(GetLastError());
}

std::string usb(row &r, const words &w) {
    const unsigned long at = std::strtoul(w.arg.c_str(), nullptr, 0);
    if (w.verb == "open") {
        HANDLE h = CreateFileA(w.arg.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return failed(GetLastError());
        }
        r.handles.push_back(h);
        return "ok";
    }
    if (w.verb == "control") { // on the device the row opened first
        unsigned char b[512] = {};
        const DWORD port = w.option("port", 0), in = w.option("in", 0);
        DWORD returned = 0;
        std::memcpy(b, &port, 4);
        if (!DeviceIoControl(r.handles.at(0), at, in != 0 ? b : nullptr, in, b, w.option("out", 0),
                             &returned, nullptr)) {
            return failed(GetLastError());
        }
        std::string answer = "ok " + std::to_string(returned);
        for (const std::string &field : w.fields) {
            unsigned offset = 0, size = 0;
            unsigned long value = 0;
            std::sscanf(field.c_str(), "@%u:%u", &offset, &size);
            size = offset < sizeof b && size <= sizeof b - offset ? size : 0;
            while (size-- > 0) {
                value = value << 8 | b[offset + size];
            }
            answer += " " + field + "=" + std::to_string(value);
        }
        return answer;
    }
    if (w.verb == "list") {
        r.set = SetupDiGetClassDevsA(&host_controllers, nullptr, nullptr,
                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        return r.set != INVALID_HANDLE_VALUE ? "ok" : failed(GetLastError());
    }
    if (w.verb == "enum") {
        r.data.cbSize = w.option("cbsize", sizeof r.data);
        return SetupDiEnumDeviceInterfaces(r.set, nullptr, &host_controllers, at, &r.data)
                   ? "ok"
                   : failed(GetLastError());
    }
    const DWORD size = w.option("size", 0); // detail
    std::vector<char> block(size + 8, 0);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(block.data());
    detail->cbSize = w.option("cbsize", sizeof *detail);
    DWORD needed = 0;
    if (SetupDiGetDeviceInterfaceDetailA(r.set, &r.data, size != 0 ? detail : nullptr, size,
                                         &needed, nullptr)) {
        return "ok " + std::string(detail->DevicePath);
    }
    const DWORD error = GetLastError();
    return failed(error) +
           (error == ERROR_INSUFFICIENT_BUFFER ? " needs " + std::to_string(needed) : "");
}

std::string configret(CONFIGRET result) {
    return result == CR_SUCCESS ? "ok" : "cr " + hex(result, 2);
}

std::string tree(row &r, words w) {
    char text[512];
    std::memset(text, '#', sizeof text);
    ULONG size = w.option("size", 200), type = 0, status = 0, problem = 0;
    const ULONG flags = w.option("flags", 0);
    DEVINST to = 0xBEEF;
    CONFIGRET result = CR_SUCCESS;
    if (w.verb == "id") {
        result = CM_Get_Device_IDA(r.node, text, size, 0);
    } else if (w.verb == "status") {
        result = CM_Get_DevNode_Status(&status, &problem, r.node, 0);
    } else if (w.verb == "property") {
        result = CM_Get_DevNode_Registry_PropertyA(r.node, std::strtoul(w.arg.c_str(), nullptr, 0),
                                                   &type, size != 0 ? text : nullptr, &size, 0);
    } else {
        result = w.verb == "child"     ? CM_Get_Child(&to, r.node, flags)
                 : w.verb == "sibling" ? CM_Get_Sibling(&to, r.node, flags)
                 : w.verb == "parent"
                     ? CM_Get_Parent(&to, r.node, flags)
                     : CM_Locate_DevNodeA(&to, w.arg.empty() ? nullptr : w.arg.data(), flags);
        r.node = result == CR_SUCCESS ? to : r.node;
        return configret(result) +
               (result != CR_SUCCESS && w.devinst ? ", devinst " + std::to_string(to) : "");
    }
    if (result == CR_BUFFER_SMALL && w.verb == "property") {
        return configret(result) + " needs " + std::to_string(size);
    }
    if (result != CR_SUCCESS) {
        return configret(result);
    }
    if (w.verb == "status") {
        return "ok " + hex(status, 8) + " problem " + std::to_string(problem);
    }
    if (w.verb == "id") { // an ID that fills the buffer comes without its terminator
        const std::string id(text, strnlen(text, size));
        return "ok " + id + (id.size() == size ? " (no terminator)" : "");
    }
    if (type == 4 && size == 4) { // REG_DWORD: the number
        DWORD number = 0;
        std::memcpy(&number, text, sizeof number);
        return "ok type 4 " + std::to_string(number);
    }
    std::string value(text, size - 1); // a text; a list: each text ends with ","
    for (char &c : value) {
        c = c == '\0' ? ',' : c;
    }
    // The data's last byte: a text's terminator, or a list's empty text.
    return "ok type " + std::to_string(type) + " " + value +
           (text[size - 1] != '\0' ? " (no terminator)" : "");
}

// The software key of the node the row stands on, and a value of it.
std::string registry(row &r, const words &w) {
    if (w.verb == "key") {
        return configret(CM_Open_DevNode_Key(r.node, KEY_READ, 0, RegDisposition_OpenExisting,
                                             &r.key, CM_REGISTRY_SOFTWARE));
    }
    char text[512] = {};
    DWORD size = w.option("size", 200), type = 0;
    const LONG e = RegQueryValueExA(r.key, w.arg.c_str(), nullptr, &type,
                                    size != 0 ? reinterpret_cast<LPBYTE>(text) : nullptr, &size);
    const std::string told = " type " + std::to_string(type) + " needs " + std::to_string(size);
    return e != ERROR_SUCCESS ? failed(e) + (e == ERROR_MORE_DATA ? told : "")
           : w.options.count("size") != 0 && w.options.at("size") == 0
               ? "ok" + told
               : "ok type 1 " + std::string(text);
}
std::string step(row &r, const std::string &text) {
    std::istringstream in(text);
    words w;
    in >> w.verb;
    for (std::string word; in >> word;) {
        const auto equals = word.find('=');
        if (word[0] == '@') {
            w.fields.push_back(word);
        } else if (equals != std::string::npos) {
            w.options[word.substr(0, equals)] = std::strtoul(word.c_str() + equals + 1, nullptr, 0);
        } else if (word == "devinst") {
            w.devinst = true;
        } else {
            w.arg = word;
        }
    }
    const std::string usb_verbs = " open control list enum detail ",
                      inf_verbs = " inf find next field ";
    if (inf_verbs.find(" " + w.verb + " ") != std::string::npos) {
        return inf(r, w);
    }
    return usb_verbs.find(" " + w.verb + " ") != std::string::npos ? usb(r, w)
           : w.verb == "key" || w.verb == "value"                  ? registry(r, w)
                                                                   : tree(r, w);
}

std::vector<std::string> split(const std::string &text, char by) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, by);) {
        const auto first = part.find_first_not_of(' '), last = part.find_last_not_of(' ');
        parts.push_back(first == std::string::npos ? "" : part.substr(first, last - first + 1));
    }
    return parts;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: facts TABLE emulation|wine\n");
        return 2;
    }
    std::ifstream table(argv[1]);
    const std::string path = argv[1];
    table_folder = path.substr(0, path.find_last_of("/\\") + 1);
    int rows = 0, differ = 0;
    for (std::string line; std::getline(table, line);) {
        const std::vector<std::string> fields = split(line, '|');
        const std::string where = fields.size() == 4 ? fields[3] : "", side = argv[2];
        const std::string runs = where.substr(0, where.find_first_of(" ,:"));
        if (line[0] == '#' || (runs != "both" && runs != side)) {
            continue;
        }
        // A difference declared: "both, but Wine answers "...": why".
        const auto quote = where.find("Wine answers \""), from = quote + 14;
        const std::string expected = side == "wine" && quote != std::string::npos
                                         ? where.substr(from, where.find('"', from) - from)
                                         : fields[1];
        std::string answered;
        row r;
        for (const std::string &s : split(fields[0], ';')) {
            answered += (answered.empty() ? "" : "; ") + step(r, s);
        }
        ++rows;
        if (answered != expected) {
            ++differ;
            std::printf("DIFFERS: %s\n  expected: %s\n  answered: %s\n", fields[0].c_str(),
                        expected.c_str(), answered.c_str());
        }
    }
    std::printf("%d rows run on the %s side, %d answered as the table says\n", rows, argv[2],
                rows - differ);
    return rows > 0 && differ == 0 ? 0 : 1;
}
