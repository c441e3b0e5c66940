// The output file: name from the local time, exclusive creation, records with CR LF.
#pragma once
#include <stddef.h>
#include "platform/types.h"
#include "records/box_text.h"

enum { BASE_NAME_SIZE = 32 };

// The highest number a candidate name carries; the plain name counts as the first.
enum { OUTPUT_LAST_CANDIDATE = 99 };

// Why the last creation, write or close of the output file went wrong. Reset when a
// creation begins; the first failure after that is kept.
enum OutputFileFailure {
    OUTPUT_OK = 0,
    OUTPUT_NO_FOLDER = 1,       // the destination folder's path is not known
    OUTPUT_PATH_TOO_LONG = 2,   // a candidate would not fit in PLAT_MAX_PATH bytes
    OUTPUT_ALL_TAKEN = 3,       // all 99 candidate names exist
    OUTPUT_NO_MEMORY = 4,       // the path could not be copied
    OUTPUT_CREATE_FAILED = 5,   // the system refused to create the file
    OUTPUT_WRITE_FAILED = 6,    // a record did not reach the file
    OUTPUT_CLOSE_FAILED = 7,    // the close could not write the rest of the stream
    OUTPUT_REMOVE_FAILED = 8,   // a cancelled download's file could not be deleted
    OUTPUT_UNUSED_REMOVE_FAILED = 9  // the empty file of a download whose port was refused
                                     // could not be deleted
};

// The first failure since the last creation began, with what the user needs to see of it.
struct OutputFailureRecord {
    int failure;                  // OutputFileFailure
    unsigned systemError;         // GetLastError at the failure, 0 when none was set
    int libraryError;             // errno at the failure, 0 when none was set
    char place[PLAT_MAX_PATH];    // the file's path, or the folder when no file was named
};

extern OutputFailureRecord gOutputFailure;

// Room for any text OutputFileFailureText writes: a sentence and a system text in 764 bytes,
// and a path (1024 where paths end at 260).
enum { OUTPUT_FAILURE_TEXT_SIZE = 764 + PLAT_MAX_PATH };

// Writes the base name for the local time now into BASE_NAME_SIZE bytes.
void MakeBaseName(char* baseName);

// What OutputFileCreate did. The values are the begin step's, which hands 2 and 3 on.
enum CreateResult {
    CREATE_OK = 0,        // created and open
    CREATE_FAILED = 2,    // not created (see OutputFileLastFailure)
    CREATE_NO_LIST = 3    // the destination list is missing: nothing was changed
};
// Creates the file in the folder (null or empty: no folder is known). A name counts as taken
// when the file or its NAME.part form exists.
int OutputFileCreateIn(const char* folder);
// The same, but the file is written as NAME.part (gDownload.outputPath keeps its own name),
// so that a program that picks up every new .csv never reads half a data set.
int OutputFileCreatePartIn(const char* folder);
// The name the open file is written under now: outputPath, or outputPath with ".part".
const char* OutputFileWrittenPath(void);
// Ends a file made by OutputFileCreatePartIn: flushed, synced to the disk, closed, and then,
// when every record reached it, given its own name (never replacing a file). 1 = all of that
// was done; 0 = a step failed (kept, as for OutputFileClose), and the file keeps NAME.part:
// OutputFileWrittenPath names it.
int OutputFileSeal(void);
// 1 = the record and its CR LF were handed to the system; 0 = no file open, or the write
// failed (the failure is kept, and later writes are refused).
int OutputFileWrite(const char* line);
// Closes the file, which stays on disk. 1 = every record written reached the file (or no
// file was open); 0 = a write or the close failed.
int OutputFileClose(void);
// Closes and deletes the file. 1 = deleted, or no file was open; 0 = it could not be
// deleted and stays on disk (the failure is kept, replacing any earlier one).
int OutputFileDiscard(void);
// The same for the new, empty file of a download that could not start because the port
// was refused; its failure is told as such.
int OutputFileDiscardUnused(void);
void OutputFileRelease(void);

int OutputFileLastFailure(void);
// A plain message for the last failure: what failed, the path where one is known, and the
// system's text for the error where there is one.
void OutputFileFailureText(BoxField* field);
void OutputFileFailureText(char* text, size_t size);
