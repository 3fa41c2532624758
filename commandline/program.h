// The command line every program shares: "--version" answers with the project's version and
// exits 0, "--help" prints the usage and exits 0, and a usage error (an unknown option, a missing
// or malformed value) prints the cause and the usage on standard error and exits kExitUsage.
// Header only; link the target `programcommon` (and CLI11) to use it.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "commandline/exit_usage.h"
#include "waveform_version.h"


// The line "--version" prints: "NAME VERSION".
inline std::string programVersionText(const char* name) {
    return std::string(name) + " " + WAVEFORM_TOOLS_VERSION;
}

// Adds "--version" to app. name is the program's name as the user types it.
inline void programAddVersion(CLI::App& app, const char* name) {
    app.set_version_flag("--version", programVersionText(name), "print the version and exit");
}

// Blanks out in argv the value of each secret option ("--password VALUE" or "--password=VALUE"),
// so that the process list and /proc/PID/cmdline show "********" from then on instead of it.
// Give the parser a copy of argv (programArgumentCopy), then call this before parsing. Returns
// true when a secret was given on the command line, where other users could read it until now.
inline bool programHideSecrets(int argc, char** argv, const char* option) {
    bool found = false;
    const std::string name(option), prefix = name + "=";
    for (int i = 1; i < argc; ++i) {
        char* value = nullptr;
        if (name == argv[i] && i + 1 < argc)
            value = argv[++i];
        else if (std::string(argv[i]).rfind(prefix, 0) == 0)
            value = argv[i] + prefix.size();
        if (value == nullptr) continue;
        found = true;
        for (char* c = value; *c != '\0'; ++c) *c = '*';
    }
    return found;
}

// Owned copies of argv's texts, and the argv-shaped array of them the parser takes.
struct ProgramArguments {
    std::vector<std::string> texts;
    std::vector<char*> argv;
    ProgramArguments(int argc, char** original) : texts(original, original + argc) {
        for (std::string& t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
    }
};

// Parses the command line. Returns -1 when the program should go on, else the status to exit
// with: 0 after --help or --version (their text printed on standard output), kExitUsage after a
// usage error (the cause and the usage of the command it concerns printed on standard error).
// Subcommand callbacks run inside this call, as with CLI11's own parse.
inline int programParse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::Success& e) {  // --help, --help-all, --version
        app.exit(e);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), e.what());
        // The usage of the subcommand the error concerns, when one was given.
        const CLI::App* where = &app;
        for (const CLI::App* sub = &app; sub != nullptr;) {
            const CLI::App* next = nullptr;
            for (const CLI::App* s : sub->get_subcommands()) next = s;
            if (next != nullptr) where = next;
            sub = next;
        }
        std::fputs(where->help().c_str(), stderr);
        return kExitUsage;
    }
}
