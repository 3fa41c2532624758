#include "rillet/cmdline.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "rillet/status.h"
#include "commandline/exit_usage.h"

namespace {

const char kUsage[] =
    "Options:\n"
    "  -h,--help                   Print this help message and exit\n"
    "  --version                   print the version and exit\n"
    "  --headless Excludes: --status\n"
    "                              record without a window\n"
    "  --verbose                   with --headless: a status line per packet (silent mode off); "
    "the window always starts silent\n"
    "  -C TEXT                     change into this folder first (rillet.ini, log)\n"
    "  --status Excludes: --headless\n"
    "                              print each channel's newest stored sample, its lag and file, "
    "and each station's disk loop, without disturbing a recorder at work (exit 0 all current, 1 "
    "a channel lags or has no data, 2 no settings or catalogue)\n"
    "  --max-lag FLOAT:NONNEGATIVE Needs: --status\n"
    "                              with --status: seconds a channel may lag (default 300)\n"
    "  --metrics FILE Excludes: --status\n"
    "                              write the recorder's metrics (Prometheus text format) into "
    "FILE every 15 s and at the stop (default: METRICS of [SYSTEM] in rillet.ini, else none)\n";

void printUsage(const char* program, FILE* to) {
    std::fprintf(to,
                 "rillet: continuous recorder of ISI streams into KVR 2.0 files\n"
                 "Usage: %s [OPTIONS]\n\n%s",
                 program, kUsage);
}

int usageError(const char* program, const std::string& cause, FILE* err) {
    std::fprintf(err, "%s: %s\n", program, cause.c_str());
    printUsage(program, err);
    return kExitUsage;
}

// A finite number of at least 0, the whole text read in the C locale's notation.
bool parseNonNegative(std::string_view text, double* value) {
    double parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
    if (!std::isfinite(parsed) || parsed < 0) return false;
    *value = parsed;
    return true;
}

}  // namespace

int rilletParseCommandLine(int argc, const char* const* argv, const char* name, const char* version,
                           RilletCommandLine* line, FILE* out, FILE* err) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "rillet";
    RilletCommandLine result;
    result.maxLag = kDefaultMaxLagSeconds;
    bool maxLagGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // The option's name and its value when it came attached ("--max-lag=60", "-C/srv").
        std::string_view option = arg;
        const char* attached = nullptr;
        if (arg.size() > 2 && arg.substr(0, 2) == "-C") {
            option = "-C";
            attached = argv[i] + 2;
        } else if (const size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != arg.npos) {
            option = arg.substr(0, eq);
            attached = argv[i] + eq + 1;
        }
        const bool takesValue = option == "-C" || option == "--max-lag" || option == "--metrics";
        if (attached != nullptr && !takesValue)
            return usageError(program, std::string(option) + " takes no value", err);
        const char* value = attached;
        if (takesValue && value == nullptr) {
            if (i + 1 >= argc)
                return usageError(program, std::string(option) + " needs a value", err);
            value = argv[++i];
        }

        if (option == "-h" || option == "--help") {
            printUsage(program, out);
            return 0;
        } else if (option == "--version") {
            std::fprintf(out, "%s %s\n", name, version);
            return 0;
        } else if (option == "--headless") {
            result.headless = true;
        } else if (option == "--verbose") {
            result.verbose = true;
        } else if (option == "--status") {
            result.status = true;
        } else if (option == "-C") {
            result.folder = value;
        } else if (option == "--metrics") {
            if (*value == '\0') return usageError(program, "--metrics needs a file name", err);
            result.metrics = value;
        } else if (option == "--max-lag") {
            if (!parseNonNegative(value, &result.maxLag))
                return usageError(
                    program,
                    "--max-lag: not a non-negative number of seconds: " + std::string(value), err);
            maxLagGiven = true;
        } else {
            return usageError(program,
                              "The following argument was not expected: " + std::string(arg), err);
        }
    }
    if (result.headless && result.status)
        return usageError(program, "--headless excludes --status", err);
    if (!result.metrics.empty() && result.status)
        return usageError(program, "--metrics excludes --status", err);
    if (maxLagGiven && !result.status)
        return usageError(program, "--max-lag requires --status", err);
    *line = result;
    return -1;
}
