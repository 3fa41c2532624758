// gleaner: the retrieval program. Without a subcommand it opens the main dialog; "fetch" runs one
// retrieval from the command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "commandline/program.h"
#include "gleaner/fetch.h"
#include "util/util.h"

#ifdef GLEANER_WITH_UI
int gleanerRunDialog(int argc, char** argv);
#endif

namespace {

// The options the dialog leaves to Qt (with one dash or two); any other option is a usage error.
bool IsWindowSystemOption(std::string option) {
    static const std::set<std::string> kQtOptions = {"platform",
                                                     "platformpluginpath",
                                                     "platformtheme",
                                                     "plugin",
                                                     "qwindowgeometry",
                                                     "qwindowicon",
                                                     "qwindowtitle",
                                                     "reverse",
                                                     "session",
                                                     "display",
                                                     "geometry",
                                                     "style",
                                                     "stylesheet",
                                                     "widgetcount",
                                                     "nograb",
                                                     "dograb",
                                                     "sync"};
    option.erase(0, option.find_first_not_of('-'));
    return kQtOptions.count(option.substr(0, option.find('='))) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Gleaner: fetch a time window of ISI streams into KVR 4.0 files and FILELIST rows.\n"
        "Without a subcommand the main dialog opens (settings in .\\Siphon.ini of the current "
        "folder)."};
    app.allow_extras();  // window-system options of the dialog
    programAddVersion(app, "gleaner");

    FETCH_OPTIONS options;
    std::string onError = "default";
    CLI::App* fetch = app.add_subcommand(
        "fetch",
        "Fetch one window without the dialog (exit 0 complete, 1 failed, 2 usage, 3 nothing "
        "received, 4 partial, 128+N stopped by signal N)");
    fetch->add_option("--server", options.server, "ISI server, HOST[:PORT] (port 39136)")
        ->required();
    fetch->add_option("--begin", options.begin, std::string("Start: ") + UTIL_TIME_FORMS)
        ->required();
    fetch->add_option("--end", options.end, "End, in the same forms")->required();
    fetch->add_option("--data-dir", options.dataDirectory,
                      std::string("Data directory, made when missing (default: DIR of [DATA] in ") +
                          KVR_PROFILE + ")");
    fetch
        ->add_option("--on-error", onError,
                     "Answer to a server i/o error: retry, ignore or abort (default: retry "
                     "--retries times, then ignore)")
        ->check(CLI::IsMember({"default", "retry", "ignore", "abort"}));
    fetch->add_option("--retries", options.retries, "Retries before giving up (default 3)")
        ->check(CLI::NonNegativeNumber);
    fetch->add_option("--password-file", options.passwordFile,
                      std::string("Read the catalogue's password from the first line of FILE "
                                  "(default: $") +
                          KVR_PASSWORD_VARIABLE + ", the data source's PWD, else JXQ)");
    fetch
        ->add_option("streams", options.streams,
                     "Streams, STA.CHN[.LOC], \"*\" and \"?\" as wildcards (expanded against the "
                     "server's list)")
        ->required();
    fetch->allow_extras(false);
    programAddVersion(*fetch,
                      "gleaner");  // "gleaner fetch --version" answers as "gleaner --version"

    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-' && !IsWindowSystemOption(extra)) {
            std::fprintf(stderr, "gleaner: unknown option %s\n%s",
                         utilPrintableString(extra).c_str(), app.help().c_str());
            return kExitUsage;
        }
    }
    if (fetch->parsed()) {
        static const std::map<std::string, FetchOnError> kPolicies = {
            {"default", FetchOnError::RetryThenIgnore},
            {"retry", FetchOnError::Retry},
            {"ignore", FetchOnError::Ignore},
            {"abort", FetchOnError::Abort}};
        options.onError = kPolicies.at(onError);
        return gleanerFetch(options, stderr);
    }
#ifdef GLEANER_WITH_UI
    return gleanerRunDialog(argc, argv);
#else
    std::fprintf(stderr, "gleaner: built without the dialog; use \"gleaner fetch\"\n");
    return 1;
#endif
}
