"""The records devsim generates with --count/--length, rebuilt independently so that tests
and benchmarks can compare a received file with what was sent, and a writer that sends
bytes at a device's pace."""
import os
import time


def gen(i, length):
    """devsim's generated record i (from 1): "%06d," then the letters A..Z cycled from
    letter (i-1) mod 26, cut to length bytes."""
    rec = "%06d," % i
    letter = (i - 1) % 26
    while len(rec) < length:
        rec += chr(ord("A") + letter)
        letter = (letter + 1) % 26
    return rec[:length].encode()


def crlf(records):
    """The records as lines: each followed by CR LF, as the program writes them."""
    return b"".join(r + b"\r\n" for r in records)


def paced(fd, data, baud):
    """Writes the bytes as a device at that rate would (10 bits a byte), in 16-byte steps."""
    start = time.monotonic()
    for at in range(0, len(data), 16):
        os.write(fd, data[at:at + 16])
        due = start + (at + 16) * 10.0 / baud
        if due > time.monotonic():
            time.sleep(due - time.monotonic())
