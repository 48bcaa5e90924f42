#include "FileSystemExtension/ErrorMapping.h"

#include "Corvane/wire/PTPResponseCode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandalo {
namespace {

using corvane::PTPError;
using corvane::PTPOperation;

int mapped(const std::exception& error) {
    const auto result = fsError(error);
    EXPECT_EQ(result.domain(), fskit::NSPOSIXErrorDomain);
    return result.code();
}

TEST(ErrorMappingTests, MapsEveryLibraryErrorKindToItsCode) {
    struct Case {
        PTPError error;
        int code;
    };
    const std::vector<Case> cases{
        {PTPError::truncatedData(12, 4), EIO},
        {PTPError::malformedContainer("short"), EIO},
        {PTPError::unexpectedContainer(3, 0x2001), EIO},
        {PTPError::transactionMismatch(1, 2), EIO},
        {PTPError::usb("stall"), EIO},
        {PTPError::deviceBusy("held by PTPCamera"), ETXTBSY},
        {PTPError::notSupported(PTPOperation::getPartialObject), ENOTSUP},
        {PTPError::invalidPath("/a/b"), ENOENT},
        {PTPError::notADirectory("/a"), ENOTDIR},
        {PTPError::isADirectory("/a"), EISDIR},
        {PTPError::alreadyExists("/a"), EEXIST},
        {PTPError::io("read"), EIO},
        {PTPError::deviceNotFound(), ENXIO},
        {PTPError::accessNotGranted(), EACCES},
        {PTPError::sessionNotOpen(), EIO},
        {PTPError::cancelled(), ECANCELED},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(corvane::name(each.error.kind())));
        EXPECT_EQ(mapped(each.error), each.code);
        EXPECT_EQ(posixCode(each.error), each.code);
    }
}

TEST(ErrorMappingTests, MapsTheDevicesRefusalsByResponseCode) {
    struct Case {
        std::uint16_t code;
        int posix;
    };
    const std::vector<Case> cases{
        {0x2005, ENOTSUP},
        {0x2006, ENOTSUP},
        {0x2009, ENOENT},
        {0x200C, ENOSPC},
        {0x200D, EACCES},
        {0x200E, EROFS},
        {0x200F, EACCES},
        {0x2013, ENXIO},
        {0x2019, EBUSY},
        {0x201A, ENOENT},
        {0xA809, ENOSPC},
        // Known codes without a mapping of their own, and codes the table does not know at all.
        {0x2001, EIO},
        {0x2002, EIO},
        {0x2003, EIO},
        {0x201D, EIO},
        {0xA80A, EIO},
        {0x0000, EIO},
        {0x2021, EIO},
        {0xA800, EIO},
        {0xFFFF, EIO},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(corvane::hexCode(each.code));
        // The operation plays no part.
        EXPECT_EQ(mapped(PTPError::responseError(each.code, PTPOperation::getObjectInfo)), each.posix);
        EXPECT_EQ(mapped(PTPError::responseError(each.code, PTPOperation::sendObject)), each.posix);
    }
}

TEST(ErrorMappingTests, TellsTheDevicesBusyAnswerFromAnInterfaceHeldElsewhere) {
    EXPECT_EQ(mapped(PTPError::responseError(0x2019, PTPOperation::openSession)), EBUSY);
    EXPECT_EQ(mapped(PTPError::deviceBusy("pid 12, PTPCamera")), ETXTBSY);
}

TEST(ErrorMappingTests, PassesPOSIXErrorsThroughAndTurnsOtherErrorsIntoEIO) {
    const auto own = fskit::fs_errorForPOSIXError(EROFS);
    const auto passed = fsError(own);
    EXPECT_EQ(passed.domain(), fskit::NSPOSIXErrorDomain);
    EXPECT_EQ(passed.code(), EROFS);
    EXPECT_EQ(passed.description(), own.description());

    EXPECT_EQ(mapped(fskit::Error("NSCocoaErrorDomain", EROFS, "read-only")), EIO);
    EXPECT_EQ(mapped(fskit::Error("fskit.InProcessHost", ENOENT, "gone")), EIO);
    EXPECT_EQ(mapped(std::runtime_error("anything")), EIO);
    EXPECT_EQ(mapped(std::system_error(std::make_error_code(std::errc::permission_denied))), EIO);
}

TEST(ErrorMappingTests, MapsWhateverWasThrown) {
    const auto caught = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return fsError(std::current_exception());
        }
        return fskit::fs_errorForPOSIXError(0);
    };
    EXPECT_EQ(caught([] { throw PTPError::accessNotGranted(); }).code(), EACCES);
    EXPECT_EQ(caught([] { throw posixError(ENOTEMPTY); }).code(), ENOTEMPTY);
    EXPECT_EQ(caught([] { throw 42; }).code(), EIO);
    EXPECT_EQ(fsError(std::exception_ptr()).code(), EIO);
}

} // namespace
} // namespace tandalo
