#include "scenario.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {
const char* SkipSpaces(const char* at, const char* end) {
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\r')) {
        ++at;
    }
    return at;
}

// Next whitespace-separated word in [at, end); empty when none.
const char* NextWord(const char* at, const char* end, size_t* length) {
    at = SkipSpaces(at, end);
    const char* stop = at;
    while (stop < end && !isspace(static_cast<unsigned char>(*stop))) {
        ++stop;
    }
    *length = static_cast<size_t>(stop - at);
    return at;
}

bool WordIs(const char* word, size_t length, const char* expected) {
    return length == strlen(expected) && strncmp(word, expected, length) == 0;
}

bool ParseNumber(const char* word, size_t length, int base, long* value) {
    if (length == 0 || length > 12) {
        return false;
    }
    char copy[16];
    memcpy(copy, word, length);
    copy[length] = '\0';
    char* stop = nullptr;
    *value = strtol(copy, &stop, base);
    return *stop == '\0' && *value >= 0;
}

// The report bytes and an optional "*N" behind them; a report step may say
// "fail" instead of bytes.
bool ParseReportBytes(const char* at, const char* end, ScenarioStep* step) {
    size_t length = 0;
    for (const char* word = NextWord(at, end, &length); length != 0;
         word = NextWord(word + length, end, &length)) {
        long value = 0;
        if (word[0] == '*') {
            if (!ParseNumber(word + 1, length - 1, 10, &value) || value == 0) {
                return false;
            }
            step->repeat = static_cast<uint32_t>(value);
        } else if (step->kind == StepKind::report && WordIs(word, length, "fail") &&
                   step->length == 0) {
            step->kind = StepKind::fail;
        } else if (step->kind != StepKind::fail && step->length < sizeof(step->bytes) &&
                   ParseNumber(word, length, 16, &value) && value <= 0xFF) {
            step->bytes[step->length++] = static_cast<uint8_t>(value);
        } else {
            return false;
        }
    }
    return step->kind == StepKind::fail || step->length > 0;
}

bool ParseStreamStep(const char* at, const char* end, ScenarioStep* step) {
    size_t length = 0;
    long periodMs = 0;
    long jitterMs = 0;
    const char* word = NextWord(at, end, &length);
    if (!ParseNumber(word, length, 10, &periodMs)) {
        return false;
    }
    word = NextWord(word + length, end, &length);
    // Arrivals must stay in order whatever the jitter.
    if (!ParseNumber(word, length, 10, &jitterMs) || periodMs == 0 || 2 * jitterMs >= periodMs) {
        return false;
    }
    step->kind = StepKind::stream;
    step->delayUs = periodMs * 1000;
    step->jitterUs = jitterMs * 1000;
    step->repeat = 1;
    return ParseReportBytes(word + length, end, step);
}

bool ParseReadStep(const char* at, const char* end, ScenarioStep* step) {
    size_t length = 0;
    const char* word = NextWord(at, end, &length);
    step->repeat = 1;
    if (WordIs(word, length, "silent")) {
        step->kind = StepKind::silent;
        NextWord(word + length, end, &length);
        return length == 0;
    }
    if (WordIs(word, length, "raise")) {
        long signal = 0;
        step->kind = StepKind::raise;
        word = NextWord(word + length, end, &length);
        if (!ParseNumber(word, length, 10, &signal) || signal == 0 || signal > 64) {
            return false;
        }
        step->signal = static_cast<int>(signal);
        NextWord(word + length, end, &length);
        return length == 0;
    }
    long delayMs = 0;
    if (!ParseNumber(word, length, 10, &delayMs)) {
        return false;
    }
    step->delayUs = delayMs * 1000;
    step->kind = StepKind::report;
    return ParseReportBytes(word + length, end, step);
}

// The path is the rest of the line, spaces and all: a temporary folder may
// have them. It must follow a plain stream step, and comes only once.
bool ParseKeysLine(const char* at, const char* end, Scenario* scenario) {
    at = SkipSpaces(at, end);
    while (end > at && isspace(static_cast<unsigned char>(end[-1]))) {
        --end;
    }
    const size_t length = static_cast<size_t>(end - at);
    if (length == 0 || length >= sizeof(scenario->keyPath) || scenario->stepCount == 0) {
        return false;
    }
    ScenarioStep* last = &scenario->steps[scenario->stepCount - 1];
    if (last->kind != StepKind::stream || last->forProbe) {
        return false;
    }
    last->endless = true;
    memcpy(scenario->keyPath, at, length);
    scenario->keyPath[length] = '\0';
    return true;
}

bool ParseLine(const char* at, const char* end, Scenario* scenario) {
    size_t length = 0;
    const char* word = NextWord(at, end, &length);
    if (length == 0 || word[0] == '#') {
        return true;
    }
    // The endless stream of a keys line would never let a later step play.
    if (scenario->keyPath[0] != '\0') {
        return false;
    }
    if (WordIs(word, length, "keys")) {
        return ParseKeysLine(word + length, end, scenario);
    }
    if (WordIs(word, length, "open")) {
        const char* what = NextWord(word + length, end, &length);
        scenario->openFails = true;
        return WordIs(what, length, "fail");
    }
    bool forProbe = false;
    if (WordIs(word, length, "probe")) {
        forProbe = true;
        word = NextWord(word + length, end, &length);
    }
    const bool stream = !forProbe && WordIs(word, length, "stream");
    if ((stream || WordIs(word, length, "read")) &&
        scenario->stepCount < sizeof(scenario->steps) / sizeof(scenario->steps[0])) {
        ScenarioStep* step = &scenario->steps[scenario->stepCount];
        memset(step, 0, sizeof(*step));
        const char* rest = word + length;
        if (!(stream ? ParseStreamStep(rest, end, step) : ParseReadStep(rest, end, step))) {
            return false;
        }
        step->forProbe = forProbe;
        ++scenario->stepCount;
        return true;
    }
    return false;
}
}  // namespace

bool ParseScenario(const char* text, Scenario* scenario, int* badLine) {
    scenario->openFails = false;
    scenario->keyPath[0] = '\0';
    scenario->stepCount = 0;
    int lineNumber = 0;
    for (const char* at = text; *at != '\0';) {
        const char* end = strchr(at, '\n');
        if (end == nullptr) {
            end = at + strlen(at);
        }
        ++lineNumber;
        if (!ParseLine(at, end, scenario)) {
            *badLine = lineNumber;
            return false;
        }
        at = *end == '\n' ? end + 1 : end;
    }
    return true;
}
