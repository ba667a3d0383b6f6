// The target writer replaces a file in one step: on every failure the old target stays exactly
// as it was and no temporary file is left in its folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "pipelines/TypTargetWriter.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::TempDir;
using testsupport::WriteWholeFile;

const std::vector<unsigned char> kOld = {'o', 'l', 'd', '\n'};
const std::vector<unsigned char> kNew = {'n', 'e', 'w', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};

std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

int32_t WriteAll(TypTargetWriter* writer, const std::string& path,
                 const std::vector<unsigned char>& content) {
    int32_t result = writer->Open(path.c_str());
    if (result == kNoErr) {
        // Two pieces, as the pipeline writes its comments and its armour.
        result = writer->Write(content.data(), 3);
    }
    if (result == kNoErr) {
        result = writer->Write(content.data() + 3, static_cast<uint32_t>(content.size() - 3));
    }
    if (result == kNoErr) {
        result = writer->Commit();
    }
    writer->Kill();
    return result;
}

// Opens, sets space aside for reserve bytes, then writes content as WriteAll does.
int32_t ReserveAndWrite(TypTargetWriter* writer, const std::string& path, uint64_t reserve,
                        const std::vector<unsigned char>& content) {
    int32_t result = writer->Open(path.c_str());
    if (result == kNoErr) {
        result = writer->Reserve(reserve);
    }
    if (result == kNoErr) {
        result = writer->Write(content.data(), static_cast<uint32_t>(content.size()));
    }
    if (result == kNoErr) {
        result = writer->Commit();
    }
    writer->Kill();
    return result;
}

TEST(TypTargetWriter, CreatesANewTargetWithTheUmaskMode) {
    TempDir folder;
    const mode_t previous = umask(027);
    TypTargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, folder.File("out.msg"), kNew), kNoErr);
    umask(previous);
    EXPECT_EQ(ReadWholeFile(folder.File("out.msg")), kNew);
    EXPECT_EQ(ModeOf(folder.File("out.msg")), 0640u);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

TEST(TypTargetWriter, ReplacesAnExistingTargetKeepingItsMode) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    chmod(target.c_str(), 0604);
    TypTargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, target, kNew), kNoErr);
    EXPECT_EQ(ReadWholeFile(target), kNew);
    EXPECT_EQ(ModeOf(target), 0604u);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

TEST(TypTargetWriter, ALinkKeepsPointingAtTheReplacedFile) {
    TempDir folder;
    ASSERT_TRUE(WriteWholeFile(folder.File("real.msg"), kOld));
    ASSERT_EQ(symlink("real.msg", folder.File("link.msg").c_str()), 0);
    TypTargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, folder.File("link.msg"), kNew), kNoErr);
    EXPECT_TRUE(std::filesystem::is_symlink(folder.File("link.msg")));
    EXPECT_EQ(ReadWholeFile(folder.File("real.msg")), kNew);
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{"link.msg", "real.msg"}));
}

TEST(TypTargetWriter, WritesADeviceInPlace) {
    TypTargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, "/dev/null", kNew), kNoErr);
    struct stat info {};
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST(TypTargetWriter, RefusesTargetsItCannotReplace) {
    TempDir folder;
    ASSERT_TRUE(std::filesystem::create_directory(folder.File("sub")));
    ASSERT_EQ(symlink("nowhere", folder.File("dangling").c_str()), 0);
    struct Case {
        const char* label;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"empty path", ""},
        {"a folder", folder.File("sub")},
        {"a trailing slash", folder.File("new/")},
        {"a missing folder", folder.File("missing/out.msg")},
        {"a link leading nowhere", folder.File("dangling")},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TypTargetWriter writer;
        writer.InitCreate(nullptr);
        EXPECT_EQ(writer.Open(testCase.path.c_str()), kOtherErr);
        EXPECT_EQ(writer.TemporaryPath(), "");
    }
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{"dangling", "sub"}));
}

TEST(TypTargetWriter, AReadOnlyTargetIsRefusedAndKept) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "the superuser can open any file for update";
    }
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    chmod(target.c_str(), 0444);
    TypTargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(writer.Open(target.c_str()), kOtherErr);
    EXPECT_EQ(ReadWholeFile(target), kOld);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

// System calls that fail on demand.
struct Faults {
    int failWrite = 0;  // errno of every write, 0 for none
    int failFsync = 0;
    int failClose = 0;
    int failRename = 0;
    bool shortWrites = false;  // one byte per write, with an interruption before each
    int failReserve = 0;
};
Faults gFaults;

ssize_t FaultyWrite(int fd, const void* data, size_t count) {
    static bool interrupted = false;
    if (gFaults.failWrite != 0) {
        errno = gFaults.failWrite;
        return -1;
    }
    if (gFaults.shortWrites) {
        interrupted = !interrupted;
        if (interrupted) {
            errno = EINTR;
            return -1;
        }
        return ::write(fd, data, count > 0 ? 1 : 0);
    }
    return ::write(fd, data, count);
}
int FaultyFsync(int fd) {
    if (gFaults.failFsync != 0) {
        errno = gFaults.failFsync;
        return -1;
    }
    return ::fsync(fd);
}
int FaultyClose(int fd) {
    const int result = ::close(fd);
    if (gFaults.failClose != 0) {
        errno = gFaults.failClose;
        return -1;
    }
    return result;
}
int FaultyRename(const char* from, const char* to) {
    if (gFaults.failRename != 0) {
        errno = gFaults.failRename;
        return -1;
    }
    return ::rename(from, to);
}

int FaultyReserve(int fd, off_t length) {
    if (gFaults.failReserve != 0) {
        errno = gFaults.failReserve;
        return -1;
    }
    return TypTargetWriterCalls::System().reserve(fd, length);
}

TypTargetWriterCalls FaultyCalls() {
    TypTargetWriterCalls calls = TypTargetWriterCalls::System();
    calls.write = FaultyWrite;
    calls.fsync = FaultyFsync;
    calls.close = FaultyClose;
    calls.rename = FaultyRename;
    calls.reserve = FaultyReserve;
    return calls;
}

TEST(TypTargetWriter, AFailureAtAnyStepKeepsTheOldTarget) {
    struct Case {
        const char* label;
        Faults faults;
    };
    const std::vector<Case> cases = {
        {"disk full", {ENOSPC, 0, 0, 0, false, 0}},
        {"fsync fails", {0, EIO, 0, 0, false, 0}},
        {"close fails", {0, 0, EIO, 0, false, 0}},
        {"rename fails", {0, 0, 0, EXDEV, false, 0}},
    };
    const TypTargetWriterCalls calls = FaultyCalls();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        chmod(target.c_str(), 0640);
        gFaults = testCase.faults;
        TypTargetWriter writer;
        writer.InitCreate(&calls);
        EXPECT_EQ(WriteAll(&writer, target, kNew), kOtherErr);
        gFaults = Faults{};
        EXPECT_EQ(ReadWholeFile(target), kOld);
        EXPECT_EQ(ModeOf(target), 0640u);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
}

TEST(TypTargetWriter, SpaceIsSetAsideBeforeTheContentIsMade) {
    struct Case {
        const char* label;
        int reserveErrno;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"the space is there", 0, kNoErr},
        {"disk full", ENOSPC, kOtherErr},
        {"quota exhausted", EDQUOT, kOtherErr},
        // A file system that cannot set space aside: the writes find out.
        {"not supported", EOPNOTSUPP, kNoErr},
    };
    const TypTargetWriterCalls calls = FaultyCalls();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        gFaults.failReserve = testCase.reserveErrno;
        TypTargetWriter writer;
        writer.InitCreate(&calls);
        // Far more than the content: what is left over is given back.
        EXPECT_EQ(ReserveAndWrite(&writer, target, 1 << 20, kNew), testCase.result);
        gFaults = Faults{};
        EXPECT_EQ(ReadWholeFile(target), testCase.result == kNoErr ? kNew : kOld);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
        struct stat info {};
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_LT(info.st_blocks * 512, 1 << 16);
    }
}

TEST(TypTargetWriter, AnAbandonedReplacementLeavesNothing) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    {
        TypTargetWriter writer;
        writer.InitCreate(nullptr);
        ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
        EXPECT_NE(writer.TemporaryPath(), "");
        EXPECT_EQ(writer.Write(kNew.data(), static_cast<uint32_t>(kNew.size())), kNoErr);
        // Destroyed without Commit.
    }
    EXPECT_EQ(ReadWholeFile(target), kOld);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

TEST(TypTargetWriter, ShortAndInterruptedWritesAreCompleted) {
    TempDir folder;
    const TypTargetWriterCalls calls = FaultyCalls();
    gFaults.shortWrites = true;
    TypTargetWriter writer;
    writer.InitCreate(&calls);
    EXPECT_EQ(WriteAll(&writer, folder.File("out.msg"), kNew), kNoErr);
    gFaults = Faults{};
    EXPECT_EQ(ReadWholeFile(folder.File("out.msg")), kNew);
}

}  // namespace
