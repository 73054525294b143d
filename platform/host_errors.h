// The one table from the host's errno values to the system error codes.
#pragma once
#include "platform/result.h"

enum class HostErrnoContext { General, Rename };

// EEXIST means "file exists" (80) when creating and "already exists" (183)
// when renaming, as the two calls report it on the original host.
NbResult NbHostErrorFromErrno(int error, HostErrnoContext context);
