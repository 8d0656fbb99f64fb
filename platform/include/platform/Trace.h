#pragma once
// The radios' debug trace: what a radio says it does on the wire, one line at a time, for a bug report. A radio
// writes it only when its switch is on (the BlueZ radio's: TAVRIN_BLUEZ_TRACE=1); the program decides where it
// goes (the library sends it to its logger at the debug level), and without a sink it goes to the console.

#include <functional>
#include <string>

namespace platform {

using TraceSink = std::function<void(const std::string& line)>;

/// Sets where trace lines go; an empty sink sends them to the console again.
void TraceSetSink(TraceSink sink);

/// Writes one trace line to the sink, or the console. Throws nothing but the thread's end (ThreadEnd), which a
/// sink running the program's code may meet.
void TraceWrite(const std::string& line);

}  // namespace platform
