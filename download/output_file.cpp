// The output file of a download: its name from the local time among 99 candidates, its
// exclusive creation, the records with CR LF, and its three endings (kept, deleted, released).
// Why a creation, write, close or deletion failed is kept here so the download can tell the user.
#include "download/output_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include "download/download.h"
#include "platform/system.h"
#include "records/messages.h"
#include "records/text_slots.h"
#include "records/warning_box.h"

OutputFailureRecord gOutputFailure;

namespace {

// What a folder watcher skips: the file's name while its data set is written.
const char kPartSuffix[] = ".part";
enum { PART_SUFFIX_LENGTH = sizeof kPartSuffix - 1 };

// The open file is written under NAME.part, and gPartPath holds that name.
int gWritingPart;
char gPartPath[PLAT_MAX_PATH];

// 1 when the name, or its NAME.part form, names a file that can be opened.
int NameTaken(const char* candidate)
{
    char part[PLAT_MAX_PATH];
    const char* forms[2] = {candidate, part};
    // A NAME.part form too long for a path cannot exist; a cut one would name another file.
    int count = snprintf(part, sizeof part, "%s%s", candidate, kPartSuffix) < (int)sizeof part ? 2 : 1;
    for (int form = 0; form < count; form++) {
        const char* name = forms[form];
        FILE* existing = PlatFileOpen(name, "r");
        if (existing != nullptr) {
            fclose(existing);
            return 1;
        }
    }
    return 0;
}

void ClearFailure(void)
{
    gOutputFailure.failure = OUTPUT_OK;
    gOutputFailure.systemError = 0;
    gOutputFailure.libraryError = 0;
    gOutputFailure.place[0] = '\0';
}

void SetFailure(int failure, const char* place, unsigned systemError, int libraryError)
{
    if (gOutputFailure.failure != OUTPUT_OK) return;
    gOutputFailure.failure = failure;
    gOutputFailure.systemError = systemError;
    gOutputFailure.libraryError = libraryError;
    snprintf(gOutputFailure.place, sizeof gOutputFailure.place, "%s", place ? place : "");
}

// Candidate 1 is the plain name, 2..99 carry their number. 0 when it would not fit: a cut
// path could name some other file, or a file in another folder.
int FormatCandidate(char* path, const char* folder, const char* baseName, int number, int part)
{
    int length = number <= 1
                     ? snprintf(path, PLAT_MAX_PATH, "%s\\%s.csv", folder, baseName)
                     : snprintf(path, PLAT_MAX_PATH, "%s\\%s(%d).csv", folder, baseName, number);
    // The NAME.part form, when it is the one made, must fit as well.
    return length > 0 && length + (part ? PART_SUFFIX_LENGTH : 0) < PLAT_MAX_PATH;
}

// The system's text for the kept error, without the line break FormatMessage appends; the
// C library's text when the runtime failed without a system error; else nothing.
void FailureReason(char* text, size_t size)
{
    text[0] = '\0';
    if (gOutputFailure.systemError != 0) SystemErrorText(gOutputFailure.systemError, text, size);
    if (text[0] == '\0' && gOutputFailure.libraryError != 0)
        snprintf(text, size, "%s", strerror(gOutputFailure.libraryError));
}

}  // namespace

void MakeBaseName(char* baseName)
{
    PlatTime now;
    PlatGetLocalTime(&now);
    snprintf(baseName, BASE_NAME_SIZE, "KM-740_%02d%02d%04d_%02d%02d%02d", now.month, now.day,
             now.year, now.hour, now.minute, now.second);
}

static int CreateIn(const char* folder, int part)
{
    char baseName[BASE_NAME_SIZE];
    MakeBaseName(baseName);
    ClearFailure();
    gWritingPart = 0;

    // Without a folder the name would be relative, landing in the working directory.
    if (folder == nullptr || folder[0] == '\0') {
        SetFailure(OUTPUT_NO_FOLDER, "", 0, 0);
        return CREATE_FAILED;
    }

    char candidate[PLAT_MAX_PATH];
    char written[PLAT_MAX_PATH];
    for (int number = 1; number <= OUTPUT_LAST_CANDIDATE; number++) {
        if (!FormatCandidate(candidate, folder, baseName, number, part)) {
            SetFailure(OUTPUT_PATH_TOO_LONG, folder, 0, 0);
            return CREATE_FAILED;
        }
        if (NameTaken(candidate)) continue;
        // FormatCandidate left room for the suffix; a cut name would be another file's.
        int length = snprintf(written, sizeof written, "%s%s", candidate, part ? kPartSuffix : "");
        if (length < 0 || length >= (int)sizeof written) {
            SetFailure(OUTPUT_PATH_TOO_LONG, folder, 0, 0);
            return CREATE_FAILED;
        }
        // The read test misses a file that refuses reading or appeared just now; the
        // exclusive creation catches both and never empties someone's file.
        int exists = 0;
        errno = 0;
        FILE* stream = PlatFileCreateNew(written, &exists);
        if (stream == nullptr && exists) continue;
        FreeText(&gDownload.outputPath);
        SetTextOnce(&gDownload.outputPath, candidate);
        if (stream == nullptr) {
            SetFailure(OUTPUT_CREATE_FAILED, written, PlatGetLastError(), errno);
            return CREATE_FAILED;
        }
        if (gDownload.outputPath == nullptr) {
            // Without its path the file could not be deleted on a cancel: give it up now,
            // while it is still empty and certainly ours.
            fclose(stream);
            PlatFileRemove(written);
            SetFailure(OUTPUT_NO_MEMORY, written, 0, 0);
            return CREATE_FAILED;
        }
        gDownload.outputFile = stream;
        gWritingPart = part;
        snprintf(gPartPath, sizeof gPartPath, "%s", written);
        return CREATE_OK;
    }
    SetFailure(OUTPUT_ALL_TAKEN, folder, 0, 0);
    return CREATE_FAILED;
}

int OutputFileCreateIn(const char* folder) { return CreateIn(folder, 0); }
int OutputFileCreatePartIn(const char* folder) { return CreateIn(folder, 1); }

const char* OutputFileWrittenPath(void)
{
    return gWritingPart ? gPartPath : SlotText(gDownload.outputPath);
}

int OutputFileSeal(void)
{
    FILE* file = gDownload.outputFile;
    if (file == nullptr) return gOutputFailure.failure == OUTPUT_OK;
    PlatSetLastError(0);
    errno = 0;
    // On the disk before it is named or reported: "complete" must survive a power cut.
    if (!PlatFileSync(file))
        SetFailure(OUTPUT_CLOSE_FAILED, OutputFileWrittenPath(), PlatGetLastError(), errno);
    if (!OutputFileClose() || !gWritingPart) return gOutputFailure.failure == OUTPUT_OK;
    // A file that lost a record keeps NAME.part: the .csv name promises whole records.
    int exists = 0;
    PlatSetLastError(0);
    errno = 0;
    if (!PlatFileRenameNew(gPartPath, SlotText(gDownload.outputPath), &exists)) {
        SetFailure(OUTPUT_CLOSE_FAILED, gPartPath, PlatGetLastError(), errno);
        return 0;
    }
    gWritingPart = 0;
    return 1;
}

int OutputFileWrite(const char* line)
{
    FILE* file = gDownload.outputFile;
    // After a failed write nothing more is appended: a later record behind a gap would
    // make the file look whole when it is not.
    if (file == nullptr || gOutputFailure.failure != OUTPUT_OK) return 0;
    size_t length = strlen(line);
    // Cleared first, so that a runtime failure without a system error is not reported
    // with a stale code (the existence test leaves "file not found" behind).
    PlatSetLastError(0);
    errno = 0;
    // The flush hands each record to the system at once, so a full disk is noticed at the
    // record it refuses, and what the window showed is in the file if the program dies.
    int written = fwrite(line, 1, length, file) == length && fwrite("\r\n", 1, 2, file) == 2 &&
                  fflush(file) == 0;
    if (!written) {
        SetFailure(OUTPUT_WRITE_FAILED, OutputFileWrittenPath(), PlatGetLastError(), errno);
        return 0;
    }
    return 1;
}

int OutputFileClose(void)
{
    FILE* file = gDownload.outputFile;
    if (file == nullptr) return 1;
    gDownload.outputFile = nullptr;
    PlatSetLastError(0);
    errno = 0;
    if (fclose(file) != 0)
        SetFailure(OUTPUT_CLOSE_FAILED, OutputFileWrittenPath(), PlatGetLastError(), errno);
    return gOutputFailure.failure == OUTPUT_OK;
}

static int Discard(OutputFileFailure failureIfKept)
{
    FILE* file = gDownload.outputFile;
    if (file == nullptr) return 1;
    fclose(file);
    gDownload.outputFile = nullptr;
    if (gDownload.outputPath == nullptr) return 1;
    PlatSleep(250);
    PlatSetLastError(0);
    errno = 0;
    if (PlatFileRemove(OutputFileWrittenPath()) == 0) return 1;
    // A file left behind after a cancel must be named to the user; an earlier write failure
    // no longer matters once the records were to be thrown away.
    unsigned systemError = PlatGetLastError();
    int libraryError = errno;
    ClearFailure();
    SetFailure(failureIfKept, OutputFileWrittenPath(), systemError, libraryError);
    return 0;
}

int OutputFileDiscard(void) { return Discard(OUTPUT_REMOVE_FAILED); }
int OutputFileDiscardUnused(void) { return Discard(OUTPUT_UNUSED_REMOVE_FAILED); }

void OutputFileRelease(void)
{
    FreeText(&gDownload.outputPath);
    if (gDownload.outputFile != nullptr) {
        fclose(gDownload.outputFile);
        gDownload.outputFile = nullptr;
    }
}

int OutputFileLastFailure(void) { return gOutputFailure.failure; }

void OutputFileFailureText(BoxField* field)
{
    char reason[SYSTEM_TEXT_SIZE];
    FailureReason(reason, sizeof reason);
    char count[16];
    snprintf(count, sizeof count, "%d", (int)OUTPUT_LAST_CANDIDATE);
    const TextValue values[] = {{"PATH", gOutputFailure.place, 1}, {"REASON", reason, 1}};
    switch (gOutputFailure.failure) {
    case OUTPUT_NO_FOLDER:
        AppendBoxText(field, BOX_NO_FOLDER, nullptr, 0);
        break;
    case OUTPUT_PATH_TOO_LONG:
        AppendBoxText(field, BOX_PATH_TOO_LONG, values, 1);
        break;
    case OUTPUT_ALL_TAKEN: {
        const TextValue taken[] = {{"COUNT", count, 1}, {"PATH", gOutputFailure.place, 1}};
        AppendBoxText(field, BOX_NAMES_TAKEN, taken, 2);
        AppendCharacters(field, "\r\n");
        AppendBoxText(field, BOX_NAMES_TAKEN_HINT, nullptr, 0);
        break;
    }
    case OUTPUT_NO_MEMORY:
        AppendBoxText(field, BOX_NO_MEMORY, nullptr, 0);
        break;
    case OUTPUT_CREATE_FAILED:
        AppendBoxText(field, BOX_NOT_CREATED, values, 2);
        break;
    case OUTPUT_WRITE_FAILED:
        AppendBoxText(field, BOX_NOT_WRITTEN, values, 2);
        break;
    case OUTPUT_CLOSE_FAILED:
        AppendBoxText(field, BOX_NOT_COMPLETED, values, 2);
        break;
    case OUTPUT_REMOVE_FAILED:
        AppendBoxText(field, BOX_NOT_DELETED, values, 2);
        break;
    case OUTPUT_UNUSED_REMOVE_FAILED:
        // Nobody cancelled: the port refused, and the file made for the download stayed.
        AppendBoxText(field, BOX_EMPTY_NOT_DELETED, values, 2);
        break;
    default:
        break;
    }
}

void OutputFileFailureText(char* text, size_t size)
{
    if (text == nullptr || size == 0) return;
    BoxField field;
    BoxFieldStart(&field, text, size);
    OutputFileFailureText(&field);
}
