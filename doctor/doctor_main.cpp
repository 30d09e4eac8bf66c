// quivertap-doctor: walks the road from pairing to rumble in order and says
// what stands in the way of Quivertap finding and using a controller.
#include <cstdio>
#include <cstring>

#include "gather.h"
#include "report.h"
#include "talk.h"
#include "verdicts.h"

namespace {
constexpr int usableStatus = 0;
constexpr int unusableStatus = 1;
constexpr int usageStatus = 2;

void PrintHelp() {
    printf(
        "Usage: quivertap-doctor [--help | --version]\n"
        "\n"
        "Checks, in order, what Quivertap needs to find and use a Wii Remote (RVL-CNT-01):\n"
        "Bluetooth, the kernel's HID devices, access to the controller's node, other\n"
        "programs that hold it, and a short talk with it through Quivertap's own library.\n"
        "It never switches the motor on and leaves the LEDs alone.\n"
        "\n"
        "Each line starts with ok, FAIL, note or skip; under the first FAIL comes the fix.\n"
        "Exit status: 0 when Quivertap will find and use a controller, 1 when it will not,\n"
        "2 for a wrong argument. NO_COLOR turns colour off.\n");
}

DoctorFacts facts;

// Each step's facts are judged as soon as they are gathered, so the user
// sees the road unfold; a step that has nothing to work on is skipped.
int RunChecks() {
    StartReport(ColourWanted());
    facts.system = ThisSystem();
    GatherBluetooth(&facts.bluetooth);
    GatherKernel(&facts.kernel);
    JudgeBluetooth(facts);
    JudgeKernel(facts);
    fflush(stdout);

    GatherAccess(&facts.kernel, &facts.access);
    JudgeAccess(facts);
    GatherHolders(facts.access, &facts.holders);
    JudgeHolders(facts);
    fflush(stdout);

    if (facts.access.opened) {
        TalkToController(&facts.talk);
    }
    JudgeTalk(facts);
    return Conclude(facts) ? usableStatus : unusableStatus;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        PrintHelp();
        return usableStatus;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("quivertap-doctor %s\n", QUIVERTAP_VERSION);
        return usableStatus;
    }
    if (argc > 1) {
        fprintf(stderr, "quivertap-doctor: unknown argument '%s'\n", argv[1]);
        fprintf(stderr, "Usage: quivertap-doctor [--help | --version]\n");
        return usageStatus;
    }
    const int status = RunChecks();
    HoldWindowIfOwn();
    return status;
}
