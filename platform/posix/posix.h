// What the POSIX platform files share: the last-error slot and the error codes of their own
// that errno has no clear words for.
#pragma once

// Codes above every errno value; PlatFormatSystemMessage gives each its own text.
enum {
    POSIX_ERR_FIRST = 0x10000,
    POSIX_ERR_REGULAR_FILE = 0x10000,   // a device path that names a regular file
    POSIX_ERR_FOLDER = 0x10001,         // ... a folder
    POSIX_ERR_NOT_TTY = 0x10002,        // ... a device without line settings (/dev/null)
    POSIX_ERR_IN_USE = 0x10003,         // ... a serial device another program holds
    POSIX_ERR_HANGUP = 0x10004,         // the line hung up (adapter pulled, pty closed)
    POSIX_ERR_BAD_RATE = 0x10005,       // a baud rate termios has no constant for
    POSIX_ERR_LAST = 0x10005
};

void PosixSetError(unsigned code);
