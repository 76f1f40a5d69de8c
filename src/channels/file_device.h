// The file device's slots that line reading owns: they are defined in line_reader.cpp and
// placed in the file device's operations table by file_device.cpp.
#pragma once

#include "channels/channel.h"

// -1 when the channel has no stream, its stream has failed or run into the end, or (Input) its
// position has reached the length measured at open; for Binary and Random -1 once the
// position reaches that length. 0 otherwise. Stores no status.
int fileAtEnd(Channel* record);

// Reads the next line of the record's stream into `destination`. Returns and stores Ok, also at
// the end of the input; TransferFailed when the stream's error indicator is set (a read failed,
// now or earlier); NotApplicable when the record has no stream.
StatusCode fileReadLine(Channel* record, Text& destination);

// Notes that a line of the record's file could not be held in memory; false for a record outside
// the channel table, for which nothing is kept. Once noted, the channel's close reports
// TransferFailed; the note goes with the close.
bool markFileLineTooLong(const Channel* record);

// Whether markFileLineTooLong noted the record's file since it was opened.
bool fileLineTooLong(const Channel* record);
