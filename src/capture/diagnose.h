// The report's findings, found (diagnose.cpp).
#pragma once

#include "capture/facts.h"
#include "capture/findings.h"

// What will go wrong at this PC, each with what to do, most serious first: the
// files check's findings with the report's own, drawn from the facts the report
// shows. Where nothing stands in the way, one line says what quorvex ARG does.
findings find_findings(const report_facts &f);
