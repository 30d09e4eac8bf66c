#include "main_sequence.h"

// No arguments or environment are consulted.
int main() {
    return RunMainSequence();
}
