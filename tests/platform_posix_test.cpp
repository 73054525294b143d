// The Linux host's one table from errno values to system error codes (the
// Windows host passes the system's codes through and has none).
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/host_errors.h"

namespace {

TEST(HostErrors, EveryMappedErrnoGivesItsSystemCode) {
    using C = HostErrnoContext;
    struct Row { int error; NbResult code; C context = C::General; };
    const Row rows[] = {
        {0, 0},        {ENOENT, 2},   {ENOTDIR, 3},  {EACCES, 5},  {EPERM, 5},   {EISDIR, 5},   {ENOMEM, 8},  {EROFS, 19},
        {EWOULDBLOCK, 32}, {EAGAIN, 32}, {EEXIST, 80}, {EEXIST, 183, C::Rename}, {ENOTEMPTY, 183, C::Rename}, {EINVAL, 87},
        {ENOSPC, 112}, {EDQUOT, 112}, {ENAMETOOLONG, 206}, {EBADF, 6}, {EMFILE, 4}, {ENFILE, 4}, {EXDEV, 17, C::Rename},
        {EBUSY, 170},  {EFBIG, 223},  {ELOOP, 1921}, {EIO, 1117},  {EPIPE, 31},  {ENOENT, 2, C::Rename},
    };
    for (const Row& row : rows) EXPECT_EQ(NbHostErrorFromErrno(row.error, row.context), row.code) << row.error;
}

}  // namespace
