#include "shared/modes.h"

std::uint8_t bUpdate_mode = 0;
std::uint8_t bSelsusp_mode = 0;
std::uint8_t bXcontrol_mode = 0;
std::int32_t bVcp_done = 0;
