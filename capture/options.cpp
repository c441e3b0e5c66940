// km740cap's command line: every option with its check, the help text (README.md holds a copy
// that a test compares) and the usage errors, each with a pointer to --help.
#include "capture/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capture/console.h"
#include "platform/types.h"
#include "records/settings.h"

#ifndef KM_VERSION_TEXT
#define KM_VERSION_TEXT "unknown"
#endif

namespace {

const char kHelp[] =
    "usage: km740cap --port PORT --baud RATE [--out FOLDER] [--raw FILE]\n"
    "                [--count N | --continuous] [--wait SECONDS] [--quiet] [--json]\n"
    "       km740cap --help | --version\n"
    "\n"
    "Listens on a serial port and stores each data set the device sends in a new\n"
    "file, KM-740_MMDDYYYY_HHMMSS.csv, named and written as KM-740 TOOL does. The\n"
    "port stays open for the whole run: nothing the device sends between data sets\n"
    "is missed.\n"
    "\n"
    "  --port PORT    the serial port: COM3 on Windows, a device such as\n"
    "                 /dev/ttyUSB0 on Linux\n"
    "  --baud RATE    1200, 2400, 4800, 9600, 19200 or 38400\n"
    "  --out FOLDER   where the files go (default: the current folder)\n"
    "  --raw FILE     also append every byte received, unchanged, to FILE\n"
    "  --count N      take N data sets, then end (default 1)\n"
    "  --continuous   take data sets until stopped; if the port goes away, open\n"
    "                 it again every 5 s\n"
    "  --wait SECONDS end with status 5 when no data set begins within SECONDS of\n"
    "                 the start or of the previous data set's end (default: 30\n"
    "                 with --count, no limit with --continuous; 0: no limit)\n"
    "  --quiet        no progress line on stderr\n"
    "  --json         stdout: one JSON object per line per event instead\n"
    "  --help         this text\n"
    "  --version      the program's version\n"
    "\n"
    "A data set begins at its STX line; its file is made then, named NAME.part\n"
    "while it is written, and gets its own name when the data set ends and the file\n"
    "is on the disk. It ends complete with its ETX line; it ends incomplete after\n"
    "30 s of silence, at a line out of place, at a receive error the port reports,\n"
    "or when the port hangs up. Lines outside a data set make no file; they are\n"
    "counted on stderr. Each finished data set gives one line on stdout: the\n"
    "outcome (complete, incomplete, stopped or file-failed), the records, the bytes\n"
    "and the file's path, separated by spaces. Messages go to stderr.\n"
    "\n"
    "Exit status:\n"
    "  0    every data set complete\n"
    "  1    a data set did not end properly (its file is kept)\n"
    "  2    usage error\n"
    "  3    the port cannot be opened or configured\n"
    "  4    a file cannot be created or written\n"
    "  5    no data set began within the --wait time\n"
    "  130  stopped by Ctrl+C, SIGTERM, SIGHUP or a console close (the file keeps\n"
    "       every record received)\n";

// "km740cap: " before, the value and after, then the pointer to --help.
int Usage(const char* before, const char* value = "", const char* after = "")
{
    fprintf(stderr, "km740cap: %s%s%s\nTry 'km740cap --help'.\n", before, value, after);
    return EXIT_USAGE;
}

// A whole number from low to high, nothing else; 0 when the text is not one.
int WholeNumber(const char* text, long low, long high, long* number)
{
    char* end = nullptr;
    if (text[0] < '0' || text[0] > '9') return 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end || value < low || value > high) return 0;
    *number = value;
    return 1;
}

// The longest name a data set's file takes in the folder, with its separator and terminator.
const char kLongestName[] = "/KM-740_MMDDYYYY_HHMMSS(99).csv.part";

// A path the system would not take is refused whole: a cut one could name another device,
// folder or file.
int PathTooLong(const char* option, const char* what)
{
    char text[160];
    snprintf(text, sizeof text, "%s: %s longer than the %d bytes this system takes", option, what,
             (int)PLAT_MAX_PATH - 1);
    return Usage(text);
}

int CheckPaths(const Options* options)
{
    char device[PLAT_MAX_PATH];
    if (!ConsoleDeviceName(options->port, device, sizeof device)) return PathTooLong("--port", "the port's name is");
    // The full path counts (a relative folder sits in the current one). When even that cannot
    // be formed (the current folder gone), the run's own check says so.
    static char full[2 * PLAT_MAX_PATH];
    size_t length = ConsoleFullFolder(options->folder, full, sizeof full) ? strlen(full) : strlen(options->folder);
    if (length + sizeof kLongestName > (size_t)PLAT_MAX_PATH)
        return PathTooLong("--out", "the folder's full path with a file name in it is");
    if (options->raw && strlen(options->raw) >= (size_t)PLAT_MAX_PATH) return PathTooLong("--raw", "the path is");
    return -1;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* options)
{
    *options = Options{nullptr, 0, ".", nullptr, 1, 0, -1, 0, 0};
    int haveCount = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        char name[32];
        const char* value = nullptr;
        const char* equals = strchr(arg, '=');
        if (strncmp(arg, "--", 2) == 0 && equals) {
            snprintf(name, sizeof name, "%.*s", (int)(equals - arg < 31 ? equals - arg : 31), arg);
            value = equals + 1;
        } else {
            snprintf(name, sizeof name, "%s", arg);
        }
        int takesValue = strcmp(name, "--port") == 0 || strcmp(name, "--baud") == 0 ||
                         strcmp(name, "--out") == 0 || strcmp(name, "--count") == 0 ||
                         strcmp(name, "--raw") == 0 || strcmp(name, "--wait") == 0;
        if (takesValue && !value) {
            if (i + 1 >= argc) return Usage("", name, " needs a value");
            value = argv[++i];
        } else if (!takesValue && value) {
            return Usage("", name, " takes no value");
        }
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(kHelp, stdout);
            return 0;
        } else if (strcmp(name, "--version") == 0) {
            printf("km740cap %s\n", KM_VERSION_TEXT);
            return 0;
        } else if (strcmp(name, "--port") == 0) {
            if (!value[0]) return Usage("--port needs a port");
            options->port = value;
        } else if (strcmp(name, "--baud") == 0) {
            long rate = 0;
            // The window's six rates, from the same table its list is filled from.
            if (!WholeNumber(value, 0, 38400, &rate) || !IsListedBaudRate((int32_t)rate))
                return Usage("--baud ", value, ": not one of 1200, 2400, 4800, 9600, 19200, 38400");
            options->baudRate = (int)rate;
        } else if (strcmp(name, "--out") == 0) {
            if (!value[0]) return Usage("--out needs a folder");
            options->folder = value;
        } else if (strcmp(name, "--raw") == 0) {
            if (!value[0]) return Usage("--raw needs a file");
            options->raw = value;
        } else if (strcmp(name, "--count") == 0) {
            if (!WholeNumber(value, 1, 1000000000L, &options->count))
                return Usage("--count ", value, ": not a number from 1 up");
            haveCount = 1;
        } else if (strcmp(name, "--wait") == 0) {
            // Up to a year: the silence clock counts milliseconds in 32 bits.
            if (!WholeNumber(value, 0, 31536000L, &options->waitSeconds))
                return Usage("--wait ", value, ": not a number of seconds from 0 up");
        } else if (strcmp(name, "--continuous") == 0) {
            options->continuous = 1;
        } else if (strcmp(name, "--quiet") == 0) {
            options->quiet = 1;
        } else if (strcmp(name, "--json") == 0) {
            options->json = 1;
        } else if (arg[0] == '-') {
            return Usage("unknown option ", arg);
        } else {
            return Usage("unexpected argument ", arg);
        }
    }
    if (haveCount && options->continuous) return Usage("--count and --continuous exclude each other");
    if (!options->port) return Usage("--port is required");
    if (!options->baudRate) return Usage("--baud is required");
    int paths = CheckPaths(options);
    if (paths >= 0) return paths;
    if (options->continuous) options->count = 0;
    // A scheduled task that takes a count still ends when the device never sends; a
    // station waits as long as it runs.
    if (options->waitSeconds < 0) options->waitSeconds = options->continuous ? 0 : 30;
    return -1;
}
