// The doctor's output: one line per check, a mark, what was checked and what
// was found; under the first failing check, the fix.
#pragma once

enum class Mark { ok, fail, note, skip };

void StartReport(bool colour);
void Line(Mark mark, const char* text);
// Indented under the line before: more of what was found.
void Detail(const char* text);
// The fix: printed only under the first failing check, as words and then the
// commands to type.
void FixText(const char* text);
void FixCommand(const char* command);
bool AnyFailure();
// The last line.
void Conclusion(bool usable, const char* text);
