#include "console_lines.h"

#include "platform/console_text.h"

void PrintBanner() {
    PrintLine("###########################################\n");
    PrintLine("#                                         #\n");
    PrintLine("#   Quivertap Test version 0.1            #\n");
    PrintLine("#                  build 2006.12.11       #\n");
    PrintLine("#                                         #\n");
    PrintLine("###########################################\n");
    PrintLine("\n");
}

// Only the controller's buttons are named; ESC works but is not advertised.
void PrintUsage() {
    PrintLine("Usage:\n");
    PrintLine("   A button  ... On/Off\n");
    PrintLine("   (+) button  ... pow up\n");
    PrintLine("   (-) button  ... pow down\n");
    PrintLine("   Home button  ... Quit\n");
    PrintLine("\n");
}
