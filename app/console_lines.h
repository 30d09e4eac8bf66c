// The fixed text the program prints once the controller has greeted.
#pragma once

void PrintBanner();
void PrintUsage();
