// The records devsim generates (--count N --length L), for the host benchmarks that feed the
// same stream to the simulated port: "%06d," of the index, then letters cycled from A.
#pragma once

#include <stdio.h>
#include <string>

inline std::string DevsimRecord(long index, long length)
{
    char head[32];
    snprintf(head, sizeof head, "%06ld,", index);
    std::string rec(head);
    long letter = (index - 1) % 26;
    while ((long)rec.size() < length) {
        rec.push_back((char)('A' + letter));
        letter = (letter + 1) % 26;
    }
    rec.resize((size_t)length);
    return rec;
}

// A whole data set as devsim sends it (STX line, `count` records, ETX line) in `stream`, and
// the file the program should write from it in `expected`.
inline void DevsimDataSet(long count, long length, std::string* stream, std::string* expected)
{
    *stream = "\x02\r\n";
    expected->clear();
    for (long i = 1; i <= count; ++i) {
        std::string rec = DevsimRecord(i, length);
        *stream += rec + "\r\n";
        *expected += rec + "\r\n";
    }
    *stream += "\x03\r\n";
}
