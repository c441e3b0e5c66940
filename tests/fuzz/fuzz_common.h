// Helpers shared by the fuzz targets: a checked invariant that libFuzzer reports as a crash,
// one temporary folder per fuzzing process, and whole-file reads and writes.
#pragma once
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <string>

// abort() leaves a crash file and a stack trace, in a release build as well.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__,  \
                    __LINE__);                                                       \
            abort();                                                                 \
        }                                                                            \
    } while (0)

inline void FuzzRemoveTree(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            FuzzRemoveTree(path + "/" + name);
        }
        closedir(dir);
        rmdir(path.c_str());
        return;
    }
    unlink(path.c_str());
}

inline void FuzzRemoveTempDir(void);

// Created at the first call, removed when the process ends.
inline const std::string& FuzzTempDir(void)
{
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/km740_fuzz_XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        dir = pattern;
        atexit(FuzzRemoveTempDir);
    }
    return dir;
}

inline void FuzzRemoveTempDir(void) { FuzzRemoveTree(FuzzTempDir()); }

inline void FuzzWriteFile(const std::string& path, const void* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    fclose(file);
}

// The whole file; "\x01missing" when it cannot be opened (no file could hold that by accident
// in these targets, whose files are compared with exact texts).
inline std::string FuzzReadFile(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return "\x01missing";
    std::string content;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    fclose(file);
    return content;
}

inline int FuzzFileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
