// The way back from a run that did not finish: the journal found beside the
// map is acted on, when it is provably ours, by putting every file back from
// its backup. The converter does it before it converts, nbundo before it
// undoes; both leave the image exactly as it was before the conversion.
#pragma once
#include <vector>

#include "driver/journal.h"
#include "platform/result.h"

// Who speaks and how: the program's prefix of every line ("main"), the
// words for the run that did not finish, and the line that says it is
// undone. With renameWholeBackups a backup that is its whole file is renamed
// over the file (no space needed) rather than copied.
struct NbRecoveryWords {
    const char* Program;
    const char* Unfinished;  // "A conversion"
    const char* Done;        // the last line when every file is back
    bool RenameWholeBackups;
};

// Returns 0 when there was no journal or every file is back and the journal
// removed; otherwise the code to exit with, the reason said. Acted on only
// when the journal is a regular file written by this user, root or the
// image's owner, writable by nobody else, naming exactly these files, each
// backup a regular file of such an owner and the one the journal describes.
// *restored tells whether a journal was found and every file put back.
[[nodiscard]] NbResult NbRecoverUnfinishedRun(const NbRecoveryWords& words, const char* journalName,
                                              const std::vector<const char*>& files, bool* restored = nullptr);

// Refuses a record with the reason, saying that nothing was changed; 1307.
[[nodiscard]] NbResult NbRefuseRecord(const char* program, const char* kind, const char* recordName,
                                      const std::string& why);

// From construction to destruction a request to stop waits (the notice says
// so once): a half-changed image is what a run must never leave.
class NbHoldTerminationRequests {
public:
    explicit NbHoldTerminationRequests(const char* notice);
    ~NbHoldTerminationRequests();
    NbHoldTerminationRequests(const NbHoldTerminationRequests&) = delete;
    NbHoldTerminationRequests& operator=(const NbHoldTerminationRequests&) = delete;
};

// How to put every file back by hand, for when the run cannot.
void NbPrintManualRestore(const char* program, const std::vector<const NbJournalFile*>& files);
