// Fuzz target: the input is message.csv. After loading, every catalogue slot holds a text that
// is its default or came from the file, at most two warnings were shown, and freeing the
// catalogue gives every heap block back.
#include <stdint.h>
#include <string.h>
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

const char kNotFound[] = "A Message file not found. Program uses default value.";
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
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    int anyDefault = 0;
    for (int entry = 0; entry < CATALOGUE_SIZE; entry++) {
        const char* text = Slot(entry);
        FUZZ_CHECK(text != nullptr && text[0] != '\0');
        size_t length = strlen(text);
        // A text is cut at the line's first CR and read through a 256-byte line buffer.
        FUZZ_CHECK(length < 256);
        FUZZ_CHECK(strchr(text, '\r') == nullptr && strchr(text, '\n') == nullptr);
        if (strcmp(text, kDefaults[entry]) == 0) {
            anyDefault = 1;
            continue;
        }
        // Not the default: the text was in the file, followed by the CR that ended its line.
        FUZZ_CHECK(bytes.find(std::string(text) + "\r") != std::string::npos);
    }
    FUZZ_CHECK(gAppTexts.desktopPath != nullptr && gAppTexts.documentsPath != nullptr);

    // The file exists and both folders are known, so only the item warning can appear, once,
    // and only when some slot fell back to its default.
    const std::vector<SimMessageBox>& boxes = SimMessageBoxes();
    FUZZ_CHECK(boxes.size() <= 1);
    FUZZ_CHECK(boxes.empty() || anyDefault);
    for (const SimMessageBox& box : boxes) {
        FUZZ_CHECK(box.text == kItemError);
        FUZZ_CHECK(box.text != kNotFound);
        FUZZ_CHECK(box.caption == "Error");
    }

    MessagesFreeAll();
    FUZZ_CHECK(SimHeapBlocksOutstanding() == 0);
    for (int entry = 0; entry < CATALOGUE_SIZE; entry++) FUZZ_CHECK(Slot(entry) == nullptr);
    FUZZ_CHECK(gAppTexts.desktopPath == nullptr && gAppTexts.documentsPath == nullptr);
    SimRelease();
    return 0;
}
