// What each OS provides the doctor: the facts of its road, gathered within a
// bound, and the few things the talk with the controller needs of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "facts.h"
#include "pairing.h"

SystemKind ThisSystem();
void GatherBluetooth(BluetoothFacts* facts);
void GatherKernel(KernelFacts* facts);
// Tries the nodes of the controller's ids in the order the library does,
// noting on each node tried whether it opened.
void GatherAccess(KernelFacts* kernel, AccessFacts* facts);
// Who else holds the node that the access check tried.
void GatherHolders(const AccessFacts& access, HolderFacts* facts);

// Before the library is opened: whatever watching what it says needs.
void WatchLibrary();
// The node the program's library has open in this process; empty when the
// system does not tell.
void LibraryNode(char* node, size_t size);
// The way its output reports went, where the library says so; else empty.
void LibraryWriteWay(char* way, size_t size);
// One report through the library's ReadReport, or false once milliseconds
// have passed without one.
bool ReadWithin(int32_t handle, uint8_t* buffer, uint32_t* length, int32_t milliseconds);
// Colour on a terminal only, and never when NO_COLOR is set.
bool ColourWanted();
// Before the doctor ends: a window opened for it alone (a double-click)
// stays until the user has read it.
void HoldWindowIfOwn();

// --pair: asks for the SYNC button, finds, pairs, connects and trusts the controller, saying each
// step and, on a failure, the fix (through pairing.h). address is the controller's, once connected.
// Ctrl-C ends it with stopped, leaving nothing half done.
PairOutcome PairController(int searchSeconds, char* address, size_t size);
// Whether a stop (Ctrl-C) was asked for since PairController began.
bool StopRequested();
// The status a stop request usually ends a process with.
int StopStatus();
bool OutputIsTerminal();
