// For a test that defines the HID library's four functions itself: code
// compiled for the DLL (link/) calls them through import pointers, which the
// linker only makes for a real import library. These stand in for them.
#include "tiny_hid/tiny_hid.h"

extern "C" {
void* __imp_OpenHidHandle = reinterpret_cast<void*>(&OpenHidHandle);
void* __imp_ReadReport = reinterpret_cast<void*>(&ReadReport);
void* __imp_WriteReport = reinterpret_cast<void*>(&WriteReport);
void* __imp_CloseHidHandle = reinterpret_cast<void*>(&CloseHidHandle);
}
