// How quorvex reads its argument, in words (argument.cpp).
#pragma once

#include <cstdint>
#include <string>

// How quorvex reads ARG on Windows `major`.`minor`, in words: the byte, each bit
// set and its meaning, then the action that acts (or that none does); each line
// ends with a newline.
std::string argument_text(const char *arg, std::uint32_t major, std::uint32_t minor);
