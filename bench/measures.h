// What the benchmark measures, each a step that can be run again: the
// blinker on a terminal, the cost of Out32, a watcher and lptmon --log
// keeping up with a fast writer, and loading the library again and again.
#ifndef LPT_BENCH_MEASURES_H
#define LPT_BENCH_MEASURES_H

#include <string>
#include <vector>

namespace bench {

// One row of the table. A row with a target is met or missed; one without
// says what a good value is, and one with an aim whether it was reached.
struct Row {
    std::string what;
    double value;
    const char *unit;      // "" for a count, printed as a whole number
    double target = -1;    // the value must not exceed it; < 0: none
    std::string good = ""; // for a row without a target: what is good
    double aim = -1;       // for a rate: the rate aimed at; < 0: none
};

// Each fills `rows` and returns true, or says why it could not measure on
// standard error and returns false.
bool measure_blinker(const std::string &dir, int seconds, std::vector<Row> *rows);
bool measure_out32(const std::string &dir, std::vector<Row> *rows);
bool measure_watcher(std::vector<Row> *rows);
bool measure_log(std::vector<Row> *rows);
bool measure_reloads(std::vector<Row> *rows);

// Loads the port library as the blinker does, for all but the first.
bool load_library();
void unload_library();

} // namespace bench

#endif
