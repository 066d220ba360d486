// The report file and its two writers. The report is UTF-16LE text: every
// write appends the units of its text, two bytes each, straight through to
// the file, in call order, with nothing between the texts.
#pragma once

#include <initializer_list>

#include "platform/file.h"
#include "platform/text.h"
#include "report/format.h"

// The open report, one for the process; opened and closed by the check driver.
extern platform::File ReportLog;

// Writes the units of `text`, no line end, in one write.
void LogWrite(const WideChar* text);

// Formats `format` with `arguments` (see FormatText) into a buffer of the
// format's length + 4096 units, writes the text (at most that length + 4095
// units) in one write and, when `lineEnd` is set, CR LF in a second.
void LogPrintf(bool lineEnd, const WideChar* format, std::initializer_list<FormatArgument> arguments = {});
