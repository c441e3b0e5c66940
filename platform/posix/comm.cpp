// POSIX implementation of the serial device operations, for the console program on Linux:
// termios raw 8N1 with reads that never wait, as the Win32 time-outs and queue checks give.
#include "platform/comm.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "platform/posix/posix.h"

namespace {

// One open device. The error counters are kept so each ClearCommError reports only what
// happened since the one before, as the Win32 error word does.
struct PosixPort {
    int fd;
    int hungUp;
    int haveCounts;
#if defined(__linux__)
    serial_icounter_struct counts;
#endif
};

struct RateName {
    uint32_t rate;
    speed_t speed;
};

const RateName kRates[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},  {9600, B9600},
                           {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

int Fail(unsigned code)
{
    PosixSetError(code);
    return 0;
}

PosixPort* Port(PlatHandle handle)
{
    if (handle == PLAT_INVALID_HANDLE || handle == nullptr) {
        PosixSetError(EBADF);
        return nullptr;
    }
    return static_cast<PosixPort*>(handle);
}

// Refuses what is not a serial device before opening it, so a regular file is never opened
// for writing and each refusal says what the path names.
unsigned RefusalOf(const struct stat& info)
{
    if (S_ISREG(info.st_mode)) return POSIX_ERR_REGULAR_FILE;
    if (S_ISDIR(info.st_mode)) return POSIX_ERR_FOLDER;
    if (!S_ISCHR(info.st_mode)) return POSIX_ERR_NOT_TTY;
    return 0;
}

#if defined(__linux__)
// The driver's counters of damaged and lost input; a pty has none (the call fails there).
int ReadCounts(int fd, serial_icounter_struct* counts)
{
    memset(counts, 0, sizeof(*counts));
    return ioctl(fd, TIOCGICOUNT, counts) == 0 ? 1 : 0;
}
#endif

uint32_t NewErrors(PosixPort* port)
{
    uint32_t errors = 0;
#if defined(__linux__)
    serial_icounter_struct now;
    if (!port->haveCounts || !ReadCounts(port->fd, &now)) return 0;
    if (now.frame != port->counts.frame) errors |= PLAT_CE_FRAME;
    if (now.overrun != port->counts.overrun) errors |= PLAT_CE_OVERRUN;
    if (now.parity != port->counts.parity) errors |= PLAT_CE_RXPARITY;
    if (now.brk != port->counts.brk) errors |= PLAT_CE_BREAK;
    if (now.buf_overrun != port->counts.buf_overrun) errors |= PLAT_CE_RXOVER;
    port->counts = now;
#else
    (void)port;
#endif
    return errors;
}

int HangUp(PosixPort* port)
{
    port->hungUp = 1;
    return Fail(POSIX_ERR_HANGUP);
}

}  // namespace

PlatHandle PlatCommOpenDevice(const char* name)
{
    struct stat info;
    if (stat(name, &info) != 0) {
        PosixSetError((unsigned)errno);
        return PLAT_INVALID_HANDLE;
    }
    unsigned refusal = RefusalOf(info);
    if (refusal) {
        PosixSetError(refusal);
        return PLAT_INVALID_HANDLE;
    }
    // No controlling terminal, and an open that does not wait for the carrier line.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program holds the tty exclusively.
        PosixSetError(errno == EBUSY ? (unsigned)POSIX_ERR_IN_USE : (unsigned)errno);
        return PLAT_INVALID_HANDLE;
    }
    if (fstat(fd, &info) != 0 || RefusalOf(info) || !isatty(fd)) {
        close(fd);
        PosixSetError(POSIX_ERR_NOT_TTY);
        return PLAT_INVALID_HANDLE;
    }
    // Share mode 0 of the Win32 open: TIOCEXCL keeps further opens out (except root's), and
    // the lock keeps out a second capture program even when both run as root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        unsigned code = errno == EWOULDBLOCK ? (unsigned)POSIX_ERR_IN_USE : (unsigned)errno;
        close(fd);
        PosixSetError(code);
        return PLAT_INVALID_HANDLE;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        PosixSetError(POSIX_ERR_NOT_TTY);
        return PLAT_INVALID_HANDLE;
    }
    PosixPort* port = static_cast<PosixPort*>(calloc(1, sizeof(PosixPort)));
    if (!port) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        PosixSetError(ENOMEM);
        return PLAT_INVALID_HANDLE;
    }
    port->fd = fd;
#if defined(__linux__)
    port->haveCounts = ReadCounts(fd, &port->counts);
#endif
    return port;
}

int PlatCloseHandle(PlatHandle handle)
{
    PosixPort* port = Port(handle);
    if (!port) return 0;
    ioctl(port->fd, TIOCNXCL);
    int ok = close(port->fd) == 0;
    if (!ok) PosixSetError((unsigned)errno);
    free(port);
    return ok ? 1 : 0;
}

int PlatGetCommState(PlatHandle handle, PlatDcb* dcb)
{
    PosixPort* port = Port(handle);
    if (!port) return 0;
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) return Fail((unsigned)errno);
    uint32_t length = dcb->DCBlength;
    memset(dcb, 0, sizeof(*dcb));
    dcb->DCBlength = length;
    speed_t speed = cfgetispeed(&tio);
    for (const RateName& r : kRates)
        if (r.speed == speed) dcb->BaudRate = r.rate;
    dcb->fBinary = 1;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fDtrControl = 1;
    dcb->fRtsControl = (tio.c_cflag & CRTSCTS) ? 2 : 1;
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    dcb->Parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    dcb->XonChar = (char)tio.c_cc[VSTART];
    dcb->XoffChar = (char)tio.c_cc[VSTOP];
    return 1;
}

int PlatSetCommState(PlatHandle handle, const PlatDcb* dcb)
{
    PosixPort* port = Port(handle);
    if (!port) return 0;
    speed_t speed = 0;
    int known = 0;
    for (const RateName& r : kRates)
        if (r.rate == dcb->BaudRate) speed = r.speed, known = 1;
    if (!known) return Fail(POSIX_ERR_BAD_RATE);
    // Mark and space parity, and 1.5 stop bits, have no portable termios form.
    if (dcb->Parity > 2 || dcb->StopBits == 1 || dcb->ByteSize < 5 || dcb->ByteSize > 8)
        return Fail(EINVAL);

    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) return Fail((unsigned)errno);
    cfmakeraw(&tio);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    // CLOCAL: the device needs no carrier line; a three-wire cable has none.
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | CREAD | CLOCAL;
    if (dcb->Parity != 0) tio.c_cflag |= PARENB | (dcb->Parity == 1 ? PARODD : 0);
    if (dcb->Parity != 0 && dcb->fParity) tio.c_iflag |= INPCK;
    if (dcb->StopBits == 2) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == 2) tio.c_cflag |= CRTSCTS;
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    if (dcb->XonChar) tio.c_cc[VSTART] = (cc_t)dcb->XonChar;
    if (dcb->XoffChar) tio.c_cc[VSTOP] = (cc_t)dcb->XoffChar;
    // Reads return at once with what is queued; the descriptor is non-blocking as well.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return Fail(EINVAL);
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return Fail((unsigned)errno);
    // tcsetattr succeeds when any one change took; the rate is the one that matters.
    struct termios check;
    if (tcgetattr(port->fd, &check) != 0) return Fail((unsigned)errno);
    if (cfgetispeed(&check) != speed || (check.c_cflag & CSIZE) != sizes[dcb->ByteSize - 5])
        return Fail(EINVAL);

    // DTR and RTS as asked; a pty has no modem lines, so a refusal there changes nothing.
    int lines = 0;
    if (dcb->fDtrControl == 1) lines |= TIOCM_DTR;
    if (dcb->fRtsControl == 1) lines |= TIOCM_RTS;
    if (lines) (void)ioctl(port->fd, TIOCMBIS, &lines);
    return 1;
}

int PlatSetupComm(PlatHandle handle, uint32_t, uint32_t) { return Port(handle) ? 1 : 0; }

int PlatSetCommMask(PlatHandle handle, uint32_t) { return Port(handle) ? 1 : 0; }

// Reads never wait here (VMIN 0, non-blocking), which is what the logic's time-outs are for.
int PlatSetCommTimeouts(PlatHandle handle, const PlatCommTimeouts*) { return Port(handle) ? 1 : 0; }

int PlatClearCommError(PlatHandle handle, uint32_t* errors, PlatComStat* status)
{
    PosixPort* port = Port(handle);
    if (!port) return 0;
    if (port->hungUp) return Fail(POSIX_ERR_HANGUP);
    int queued = 0;
    if (ioctl(port->fd, FIONREAD, &queued) != 0) {
        if (errno == EIO) return HangUp(port);
        return Fail((unsigned)errno);
    }
    // A hang-up (adapter pulled, the other end of a pty closed) fails the call, as Win32
    // does for a vanished device; bytes that arrived before it are delivered first.
    struct pollfd watch = {port->fd, POLLIN, 0};
    if (queued <= 0 && poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return HangUp(port);
    if (errors) *errors = NewErrors(port);
    if (status) {
        int pending = 0;
        status->cbInQue = queued > 0 ? (uint32_t)queued : 0;
        status->cbOutQue = ioctl(port->fd, TIOCOUTQ, &pending) == 0 && pending > 0 ? (uint32_t)pending : 0;
    }
    return 1;
}

int PlatPurgeComm(PlatHandle handle, uint32_t flags)
{
    PosixPort* port = Port(handle);
    if (!port) return 0;
    enum { PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8 };
    int in = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    int out = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    if (!in && !out) return 1;
    if (tcflush(port->fd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) != 0)
        return Fail((unsigned)errno);
    return 1;
}

int PlatReadFile(PlatHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    *bytesRead = 0;
    PosixPort* port = Port(handle);
    if (!port) return 0;
    if (port->hungUp) return Fail(POSIX_ERR_HANGUP);
    if (count == 0) return 1;
    ssize_t got = read(port->fd, buffer, count);
    if (got > 0) {
        *bytesRead = (uint32_t)got;
        return 1;
    }
    // Nothing queued after all: what a Win32 read that timed out returns.
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
    // End of file on a tty is a hang-up, and so is EIO.
    if (got == 0 || errno == EIO) return HangUp(port);
    return Fail((unsigned)errno);
}
