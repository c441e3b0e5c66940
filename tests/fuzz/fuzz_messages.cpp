// Fuzz target: the input is message.csv. After loading, every catalogue slot holds the text a
// reference reading of the file gives its key, or its default when the file gives none; the
// item warning is shown exactly when some default was needed; and freeing the catalogue gives
// every heap block back.
#include <stdint.h>
#include <string.h>
#include <algorithm>
#include <string>
#include "platform/sim/sim.h"
#include "records/messages.h"
#include "records/status.h"
#include "tests/fuzz/fuzz_common.h"

namespace {

const char* const kDefaults[CATALOGUE_SIZE] = {
    "Port No.:", "Baudrate:", "Stored to:", "KM-740 TOOL", "Desktop", "My Documents", "Start",
    "Cancel", "Close", "is not enabled.", "All comm ports are not enabled.", "Ready.",
    "Receiving data...", "Complete.", "Timeout error.",
};

const char* const kKeys[CATALOGUE_SIZE] = {
    "PORT_NO", "BAUDRATE", "STORE_FOLDER", "WINDOW_TITLE", "DESKTOP", "MY_DOCUMENTS", "START", "CANCEL",
    "CLOSE", "NOT_ENABLED", "NO_ENABLE_PORTS", "STAND_BY", "RECEIVE_DATA", "COMPLETE", "TIMEOUT",
};

const char kItemError[] = "Message item error. One or more items are set to default value.";

char* Slot(int entry)
{
    char* const slots[CATALOGUE_SIZE] = {
        gAppTexts.labelTexts[LABEL_PORT_NO],          gAppTexts.labelTexts[LABEL_BAUDRATE],
        gAppTexts.labelTexts[LABEL_STORE_FOLDER],     gAppTexts.generalTexts[TEXT_WINDOW_TITLE],
        gAppTexts.generalTexts[TEXT_DESKTOP],         gAppTexts.generalTexts[TEXT_MY_DOCUMENTS],
        gAppTexts.generalTexts[TEXT_START],           gAppTexts.generalTexts[TEXT_CANCEL],
        gAppTexts.generalTexts[TEXT_CLOSE],           gAppTexts.generalTexts[TEXT_NOT_ENABLED],
        gAppTexts.generalTexts[TEXT_NO_ENABLE_PORTS], gAppTexts.statusTexts[STATUS_READY],
        gAppTexts.statusTexts[STATUS_RECEIVING],      gAppTexts.statusTexts[STATUS_COMPLETE],
        gAppTexts.statusTexts[STATUS_TIMEOUT],
    };
    return slots[entry];
}

bool SameKey(const std::string& key, const char* name)
{
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; };
    if (key.size() != strlen(name)) return false;
    for (size_t i = 0; i < key.size(); i++)
        if (fold(key[i]) != name[i]) return false;
    return true;
}

// The file read here on its own terms: after a UTF-8 mark, pieces of at most 255 bytes ending
// at a LF (a 256-byte line buffer), each ended at its first CR, else at its LF, else at the end
// of the file; the rest of a line behind its CR is skipped to its LF. A piece without an end,
// with a NUL before it, or without a comma ends the reading. The first non-empty text of a key
// is its text, in a marked file converted by the platform (kept when it cannot be).
void ReferenceTexts(const std::string& bytes, std::string texts[CATALOGUE_SIZE])
{
    const bool utf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    size_t at = utf8 ? 3 : 0;
    while (at < bytes.size()) {
        size_t end = std::min(bytes.size(), at + 255);
        const size_t lf = bytes.find('\n', at);
        if (lf < end) end = lf + 1;
        std::string line = bytes.substr(at, end - at);
        at = end;
        size_t stop = line.find('\r');
        if (stop == std::string::npos && line.back() == '\n') stop = line.size() - 1;
        if (stop == std::string::npos && line.size() < 255) stop = line.size();
        if (stop == std::string::npos) return;
        if (line.back() != '\n') at = bytes.find('\n', at) == std::string::npos ? bytes.size() : bytes.find('\n', at) + 1;
        const size_t comma = line.find(',');
        if (line.find('\0') < stop || comma >= stop) return;
        std::string text = line.substr(comma + 1, stop - comma - 1);
        char converted[256];
        if (utf8 && PlatUtf8ToAnsi(text.c_str(), converted, sizeof converted) >= 0) text = converted;
        for (int entry = 0; entry < CATALOGUE_SIZE; entry++)
            if (texts[entry].empty() && SameKey(line.substr(0, comma), kKeys[entry])) texts[entry] = text;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MessagesFreeAll();
    SimReset();
    SimUseMemoryFiles(1);
    SimMemoryFolder("C:\\KM");
    SimSetModulePath("C:\\KM\\km740tool.exe");
    SimSetSpecialFolder(PLAT_CSIDL_DESKTOP, "C:\\Users\\bench\\Desktop");
    SimSetSpecialFolder(PLAT_CSIDL_PERSONAL, "C:\\Users\\bench\\Documents");
    SimMemoryFileSet("C:\\KM\\message.csv", std::string(reinterpret_cast<const char*>(data), size));

    MessagesLoad();
    std::string texts[CATALOGUE_SIZE];
    ReferenceTexts(std::string(reinterpret_cast<const char*>(data), size), texts);
    int anyDefault = 0;
    for (int entry = 0; entry < CATALOGUE_SIZE; entry++) {
        FUZZ_CHECK(Slot(entry) != nullptr);
        if (texts[entry].empty()) anyDefault = 1;
        FUZZ_CHECK(Slot(entry) == (texts[entry].empty() ? std::string(kDefaults[entry]) : texts[entry]));
    }
    FUZZ_CHECK(gAppTexts.desktopPath != nullptr && gAppTexts.documentsPath != nullptr);

    // The file exists and both folders are known: the item warning alone, once, exactly when
    // some slot fell back to its default.
    const std::vector<SimMessageBox>& boxes = SimMessageBoxes();
    FUZZ_CHECK(boxes.size() == (size_t)anyDefault);
    for (const SimMessageBox& box : boxes) {
        FUZZ_CHECK(box.text == kItemError);
        FUZZ_CHECK(box.caption == "Error");
    }

    // Box texts with values, composed into a small field in Shift-JIS: always terminated
    // inside it, no lead byte left without its trail, and a value never expanded again. A
    // PATH that names another placeholder shows as written: the same text as with a PATH of
    // the same length whose bytes (LF, never in a catalogue text) name nothing.
    SimSetCodePage(932);
    for (int box = 0; box < BOX_TEXT_COUNT; box++) {
        std::string shown[2];
        for (int i = 0; i < 2; i++) {
            const TextValue values[] = {{"PATH", i == 0 ? "%COUNT%" : "\nCOUNT\n", 1}, {"REASON", "", 1},
                                        {"COUNT", "7", 1}, {"TIMES", "\x95\x5c", 0}};
            char text[40] = "x";
            AppendBoxText(text, sizeof text, box, values, 4);
            size_t length = strnlen(text, sizeof text);
            FUZZ_CHECK(length < sizeof text && text[0] == 'x');
            size_t k = 0;
            while (k < length) k += PlatIsLeadByte((unsigned char)text[k]) ? 2 : 1;
            FUZZ_CHECK(k == length);
            shown[i] = text;
        }
        FUZZ_CHECK(shown[0].size() == shown[1].size());
        for (size_t k = 0; k < shown[0].size(); k++)
            FUZZ_CHECK(shown[0][k] == shown[1][k] || (shown[0][k] == '%' && shown[1][k] == '\n'));
    }

    MessagesFreeAll();
    FUZZ_CHECK(SimHeapBlocksOutstanding() == 0);
    for (int entry = 0; entry < CATALOGUE_SIZE; entry++) FUZZ_CHECK(Slot(entry) == nullptr);
    FUZZ_CHECK(gAppTexts.desktopPath == nullptr && gAppTexts.documentsPath == nullptr);
    SimRelease();
    return 0;
}
