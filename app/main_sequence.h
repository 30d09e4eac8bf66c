#pragma once

// One run from opening the controller to the exit status.
int RunMainSequence();
