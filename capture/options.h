// km740cap's command line: the options, their checks, --help and --version.
#pragma once

enum ExitStatus {
    EXIT_COMPLETE = 0,
    EXIT_INCOMPLETE = 1,
    EXIT_USAGE = 2,
    EXIT_PORT = 3,
    EXIT_FILE = 4,
    EXIT_NO_DATA_SET = 5,
    EXIT_STOPPED = 130
};

struct Options {
    const char* port;
    int baudRate;
    const char* folder;
    const char* raw;      // --raw FILE: every byte received is appended there; null: none
    long count;           // data sets to take; 0 with continuous
    int continuous;
    long waitSeconds;     // --wait: a data set must begin within it; 0: no limit
    int quiet;
    int json;
};

// Parses the command line into options; -1 when the run goes on, else the exit status
// (0 after --help or --version, EXIT_USAGE after a message on stderr).
int ParseOptions(int argc, char** argv, Options* options);
