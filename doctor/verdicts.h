// What the facts mean for the user: which finding stands in the way, and the
// fix to print under the first one. Free of any OS; each step judges the
// facts gathered so far.
#pragma once

#include "facts.h"

void JudgeBluetooth(const DoctorFacts& facts);
void JudgeKernel(const DoctorFacts& facts);
void JudgeAccess(const DoctorFacts& facts);
void JudgeHolders(const DoctorFacts& facts);
void JudgeTalk(const DoctorFacts& facts);
// The last line; true when Quivertap will find and use a controller.
bool Conclude(const DoctorFacts& facts);
