// A program run as a child process and measured, for the benchmarks that compare one of our
// programs with another program doing the same work (kvrdb against the sqlite3 shell, against
// libmseed's packing alone).
#pragma once

#include <string>
#include <vector>

namespace benchsupport {

struct ChildRun {
    double cpu = -1.0;  // user + system CPU seconds, start-up included; negative when it failed
    double wall = 0.0;  // seconds from the fork to the child's end
};

// Runs argv (argv[0] looked up in PATH) with its standard output sent to /dev/null, and measures
// it. A child that cannot be started or exits with a status other than 0 gives cpu < 0.
ChildRun runChild(const std::vector<std::string>& argv);

// The middle value (the upper one of an even count); 0 for none.
double median(std::vector<double> values);

}  // namespace benchsupport
