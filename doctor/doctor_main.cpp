// quivertap-doctor: walks the road from pairing to rumble in order and says
// what stands in the way of Quivertap finding and using a controller.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "gather.h"
#include "pairing.h"
#include "report.h"
#include "talk.h"
#include "verdicts.h"

namespace {
constexpr int usableStatus = 0;
constexpr int unusableStatus = 1;
constexpr int usageStatus = 2;

void PrintHelp() {
    printf(
        "Usage: quivertap-doctor [--pair [--timeout SECONDS] | --help | --version]\n"
        "\n"
        "Checks, in order, what Quivertap needs to find and use a Wii Remote (RVL-CNT-01):\n"
        "Bluetooth, the kernel's HID devices, access to the controller's node, other\n"
        "programs that hold it, and a short talk with it through Quivertap's own library.\n"
        "It never switches the motor on and leaves the LEDs alone.\n"
        "\n"
        "--pair pairs the controller first: press the red SYNC button under the battery\n"
        "cover (not 1 and 2), and it searches (30 s, or --timeout SECONDS), pairs,\n"
        "connects and trusts the controller, then runs the checks. Ctrl-C stops it.\n"
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

// "00:1f:32:aa:bb:cc", "00:1F:32:AA:BB:CC" and Windows' "001f32aabbcc" name
// the same controller.
bool SameAddress(const char* a, const char* b) {
    for (;; ++a, ++b) {
        a += *a == ':' ? 1 : 0;
        b += *b == ':' ? 1 : 0;
        const char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
        const char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (ca != cb || ca == '\0') {
            return ca == cb;
        }
    }
}

// The controller's HID node, once the stack has made it: the kernel's (or
// Windows') work after the connection, bounded.
void WaitForNode(const char* address) {
    constexpr auto step = std::chrono::milliseconds(100);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(nodeWaitSeconds);
    while (!StopRequested()) {
        GatherKernel(&facts.kernel);
        for (int i = 0; i < facts.kernel.nodeCount; ++i) {
            const NodeFacts& node = facts.kernel.nodes[i];
            // A system that gives no address for the node: any controller's will do.
            if (node.product == remoteProduct &&
                (node.address[0] == '\0' || SameAddress(node.address, address))) {
                SayNode(node.node);
                return;
            }
        }
        if (std::chrono::steady_clock::now() >= end) {
            SayNoNode(nodeWaitSeconds);
            return;
        }
        std::this_thread::sleep_for(step);
    }
}

int PairThenCheck(int searchSeconds) {
    StartReport(ColourWanted());
    LiveLines(OutputIsTerminal());
    char address[textBytes];
    const PairOutcome outcome = PairController(searchSeconds, address, sizeof(address));
    if (outcome == PairOutcome::stopped) {
        SayStopped();
        return StopStatus();
    }
    if (outcome == PairOutcome::failed) {
        return unusableStatus;
    }
    WaitForNode(address);
    if (StopRequested()) {
        SayStopped();
        return StopStatus();
    }
    fflush(stdout);
    return RunChecks();
}
}  // namespace

int main(int argc, char** argv) {
    int searchSeconds = 0;
    const char* wrong = nullptr;
    const Request request = ReadArguments(argc, argv, &searchSeconds, &wrong);
    if (request == Request::help) {
        PrintHelp();
        return usableStatus;
    }
    if (request == Request::version) {
        printf("quivertap-doctor %s\n", QUIVERTAP_VERSION);
        return usableStatus;
    }
    if (request == Request::wrong) {
        fprintf(stderr, "quivertap-doctor: unknown argument '%s'\n", wrong);
        fprintf(stderr,
                "Usage: quivertap-doctor [--pair [--timeout SECONDS] | --help | --version]\n");
        return usageStatus;
    }
    const int status = request == Request::pair ? PairThenCheck(searchSeconds) : RunChecks();
    HoldWindowIfOwn();
    return status;
}
