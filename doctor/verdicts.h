// What the facts mean for the user: which finding stands in the way, and the
// fix to print under the first one. Free of any OS; each step judges the
// facts gathered so far.
#pragma once

#include "facts.h"
#include "report.h"

void JudgeBluetooth(const DoctorFacts& facts);
void JudgeKernel(const DoctorFacts& facts);
void JudgeAccess(const DoctorFacts& facts);
void JudgeHolders(const DoctorFacts& facts);
void JudgeTalk(const DoctorFacts& facts);
// BlueZ gives no answer: the line saying which of the ways it is missing
// (no system bus, not installed, not running), for the check and the pairing.
void SayBluezMissing(Mark mark, const char* topic, const BluetoothFacts& bluetooth);
// The fix's commands for it: start what is there, install only what is not.
void StartBluezCommands(const BluetoothFacts& bluetooth);
// What shows an adapter's blocks, with rfkill's package for where it is missing.
void RfkillListCommands();
// The last line; true when Quivertap will find and use a controller.
bool Conclude(const DoctorFacts& facts);
