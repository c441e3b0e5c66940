// The data-set rules shared by the window's download and the station: the meaning of each line,
// the silence limit, and the receive errors' box text.
#include "download/data_set.h"

#include <stdio.h>
#include "records/box_text.h"
#include "records/csv_line.h"
#include "records/messages.h"

namespace {

enum { LINE_STX = 0x02, LINE_ETX = 0x03 };

}  // namespace

int DataSetIsStx(const char* line) { return line[0] == LINE_STX && line[1] == '\0'; }

int DataSetLineMeaning(int inside, const char* line)
{
    // A line is text up to its first NUL; one that starts with NUL counts as empty.
    if (line[0] == '\0') return LINE_EMPTY;
    if (!inside) return DataSetIsStx(line) ? LINE_OPENS : LINE_OUTSIDE;
    // A one-byte line is never a record: ETX ends the set whole, any other byte ends it badly.
    if (line[1] == '\0') return line[0] == LINE_ETX ? LINE_CLOSES : LINE_BREAKS;
    return LINE_RECORD;
}

int DataSetSilenceEnds(uint32_t lastByteTick, uint32_t now)
{
    // Unsigned: a tick count that wrapped between the two reads still gives the true gap.
    return now - lastByteTick > (uint32_t)DATA_SET_SILENCE_LIMIT_MS;
}

int DataSetHadLineErrors(const uint32_t counts[COMM_ERR_KINDS])
{
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++)
        if (counts[kind] != 0) return 1;
    return 0;
}

void DataSetLineErrorText(const uint32_t counts[COMM_ERR_KINDS], char* text, size_t size)
{
    struct Kind {
        int line;     // the kind's line, with its count
        int advice;   // -1: the overrun advice, given once for both overruns
    };
    static const Kind kinds[COMM_ERR_KINDS] = {
        {BOX_RX_QUEUE_OVERRUN, -1},
        {BOX_RX_HARDWARE_OVERRUN, -1},
        {BOX_RX_FRAMING_ERROR, BOX_RX_FRAMING_ADVICE},
        {BOX_RX_PARITY_ERROR, BOX_RX_PARITY_ADVICE},
        {BOX_RX_BREAK, BOX_RX_BREAK_ADVICE},
    };
    BoxField field;
    BoxFieldStart(&field, text, size);
    if (!DataSetHadLineErrors(counts)) return;
    AppendBoxText(&field, BOX_RX_ERRORS, nullptr, 0);
    AppendCharacters(&field, "\r\n");
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++) {
        uint32_t count = counts[kind];
        if (count == 0) continue;
        char number[16];
        snprintf(number, sizeof number, "%u", (unsigned)count);
        // The word for the count is itself a catalogue text ("time", "times").
        char times[CSV_LINE_SIZE];
        times[0] = '\0';
        AppendBoxText(times, sizeof times, count == 1 ? BOX_RX_TIME : BOX_RX_TIMES, nullptr, 0);
        const TextValue values[] = {{"COUNT", number, 1}, {"TIMES", times, 0}};
        AppendBoxText(&field, kinds[kind].line, values, 2);
        AppendCharacters(&field, "\r\n");
    }
    AppendBoxText(&field, BOX_RX_DAMAGED, nullptr, 0);
    AppendCharacters(&field, "\r\n");
    if (counts[COMM_ERR_RXOVER] != 0 || counts[COMM_ERR_OVERRUN] != 0) {
        AppendCharacters(&field, "\r\n");
        AppendBoxText(&field, BOX_RX_OVERRUN_ADVICE, nullptr, 0);
    }
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++) {
        if (counts[kind] == 0 || kinds[kind].advice < 0) continue;
        AppendCharacters(&field, "\r\n");
        AppendBoxText(&field, kinds[kind].advice, nullptr, 0);
    }
}
