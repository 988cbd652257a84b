// The report a person reads after a capture (report.cpp and its sections).
#pragma once

#include "capture/captured.h"

#include <string>

// The report: findings first, then the facts they rest on.
std::string report_text(const capture_report &r);
