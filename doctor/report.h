// The doctor's output: one line per check, a mark, what was checked and what
// was found; under the first failing check, the fix. Texts are printf
// formats.
#pragma once

enum class Mark { ok, fail, note, skip };

#define REPORT_FORMAT(at) __attribute__((format(printf, at, at + 1)))

void StartReport(bool colour);
// On a terminal, a line that rewrites itself (a countdown) until the next line
// replaces it; elsewhere it is never printed, so that a log holds no control
// characters.
void LiveLines(bool terminal);
REPORT_FORMAT(1) void LiveLine(const char* format, ...);
REPORT_FORMAT(2) void Line(Mark mark, const char* format, ...);
// Indented under the line before: more of what was found.
REPORT_FORMAT(1) void Detail(const char* format, ...);
// The fix: printed only under the first failing check, as words and then the
// commands to type.
REPORT_FORMAT(1) void FixText(const char* format, ...);
REPORT_FORMAT(1) void FixCommand(const char* format, ...);
bool AnyFailure();
// What the first failing line said; empty when nothing failed.
const char* FirstFailure();
// The last line.
void Conclusion(bool usable, const char* text);
