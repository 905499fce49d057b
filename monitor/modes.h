// lptmon's modes, each in a file of its own: --once (once.cpp), --set
// (set.cpp), --log (log.cpp), --vcd (trace.cpp) and the live view or its
// plain lines (live.cpp). Each returns the status to end with.
#ifndef LPTMON_MODES_H
#define LPTMON_MODES_H

#include "options.h"

namespace lptmon {

int once(unsigned base);
int set_inputs(unsigned base, const std::vector<Setting> &settings);
int log_writes(unsigned base);
int write_trace(unsigned base, const char *path);
// The live view where the output is a terminal that can be drawn on, else
// a plain line each time the data register changes.
int live(unsigned base, bool terminal);

} // namespace lptmon

#endif
