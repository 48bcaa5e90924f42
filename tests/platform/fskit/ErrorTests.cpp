#include "platform/fskit/Error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fskit {
namespace {

TEST(ErrorTests, ErrorForPOSIXCodeIsInThePOSIXDomainWithADescription) {
    for (const int code : {EINVAL, ENXIO, ENOENT, EROFS, EPERM, EISDIR, ENOTDIR, ENOTEMPTY, ENOTSUP, EIO,
                           ETXTBSY, EBUSY, EACCES, ENOSPC, EEXIST, ECANCELED}) {
        const Error error = fs_errorForPOSIXError(code);
        EXPECT_EQ(error.domain(), "NSPOSIXErrorDomain");
        EXPECT_TRUE(error.isPOSIX());
        EXPECT_EQ(error.code(), code);
        EXPECT_FALSE(error.description().empty());
        EXPECT_EQ(std::string(error.what()), error.description());
    }
    EXPECT_EQ(fs_errorForPOSIXError(ENOENT).description(), "No such file or directory");
}

TEST(ErrorTests, AnotherDomainIsNotPOSIXWhateverItsCode) {
    const Error error("NSCocoaErrorDomain", ENOENT, "file missing");
    EXPECT_FALSE(error.isPOSIX());
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_THROW(throw error, std::exception);
}

} // namespace
} // namespace fskit
