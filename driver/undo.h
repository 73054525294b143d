// nbundo: the legacy image given back exactly from a finished conversion's
// undo record, its backups and the original bytes the record holds, and
// only while the image is still as the conversion left it.
#pragma once
#include <string>
#include <vector>

#include "driver/journal.h"
#include "platform/result.h"

// Whether the image's undo record may be acted on, found out without a
// change: Code is 0 when it may; 2 when there is no record; 1307 when the
// record is not trusted; 13 when it is damaged or the image (or a backup)
// is no longer what the record names; what a failed call gave otherwise.
// Problems holds one line for each reason, every mismatch named.
struct NbUndoCheck {
    std::string RecordName;
    NbResult Code = NB_OK;
    std::vector<std::string> Problems;
    NbUndoRecord Record;  // as read, its names those of the files given
};
// files: the map, the data file, then every metadata file, as the run
// names them. Pins the backups it judges while a pin scope lives.
void NbCheckUndo(const std::vector<const char*>& files, NbUndoCheck* check);

// Runs nbundo; returns the process's exit code.
int NbUndoMain(int argc, char** argv);
