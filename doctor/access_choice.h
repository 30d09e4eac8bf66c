// Which controller node the access check reports on, once the OS has tried
// opening them: the first RVL-CNT-01 node that opened, as the program's
// library takes it; else the first one's refusal.
#pragma once

#include "facts.h"

void ChooseAccessNode(const KernelFacts& kernel, AccessFacts* facts);
