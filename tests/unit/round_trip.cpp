// A machine description read, written and read again is the same model, and
// written again the same bytes. ctest runs it once for every description file.
#include "platform/emu/state.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char **argv) {
    std::stringstream text;
    text << std::ifstream(argc == 2 ? argv[1] : "", std::ios::binary).rdbuf();
    desc::machine read, again;
    std::string fault = emu::parse_machine(text.str(), read);
    const std::string written = fault.empty() ? desc::write_description(read) : "";
    if (fault.empty() && (fault = emu::parse_machine(written, again)).empty()) {
        fault = !(again == read)                            ? "read back, another model"
                : desc::write_description(again) != written ? "written again, other bytes"
                                                            : "";
    }
    if (!fault.empty()) {
        std::cerr << (argc == 2 ? argv[1] : "no file") << ": " << fault << "\n" << written;
    }
    return fault.empty() ? 0 : 1;
}
