// The target writer replaces a file in one step: on every failure the old target stays exactly
// as it was and no temporary file is left in its folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/TargetWriter.h"
#include "support/ChildProcess.h"
#include "support/FolderEntries.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::Entries;
using testsupport::ReadWholeFile;
using testsupport::TempDir;
using testsupport::WriteWholeFile;

const std::vector<unsigned char> kOld = {'o', 'l', 'd', '\n'};
const std::vector<unsigned char> kNew = {'n', 'e', 'w', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

int32_t WriteAll(veldoran::TargetWriter* writer, const std::string& path,
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
int32_t ReserveAndWrite(veldoran::TargetWriter* writer, const std::string& path, uint64_t reserve,
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

TEST(TargetWriter, CreatesANewTargetWithTheUmaskMode) {
    TempDir folder;
    const mode_t previous = umask(027);
    veldoran::TargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, folder.File("out.msg"), kNew), kNoErr);
    umask(previous);
    EXPECT_EQ(ReadWholeFile(folder.File("out.msg")), kNew);
    EXPECT_EQ(ModeOf(folder.File("out.msg")), 0640u);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

// The new content keeps the old target's read, write and execute bits, never its set-user,
// set-group or sticky bits.
TEST(TargetWriter, ReplacesAnExistingTargetKeepingItsPermissionBits) {
    const struct {
        mode_t before;
        mode_t after;
    } cases[] = {{0604, 0604}, {0700, 0700}, {04755, 0755}, {02640, 0640}, {01666, 0666}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        ASSERT_EQ(chmod(target.c_str(), c.before), 0);
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        EXPECT_EQ(WriteAll(&writer, target, kNew), kNoErr);
        EXPECT_EQ(ReadWholeFile(target), kNew);
        EXPECT_EQ(ModeOf(target), c.after);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
}

// As deleting the target and creating it anew would: the link becomes the new file, and the
// file it named (if any) is not touched.
TEST(TargetWriter, ALinkIsReplacedAndTheFileItNamedIsKept) {
    TempDir folder;
    ASSERT_TRUE(WriteWholeFile(folder.File("real.msg"), kOld));
    ASSERT_EQ(symlink("real.msg", folder.File("link.msg").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", folder.File("dangling.msg").c_str()), 0);
    for (const char* name : {"link.msg", "dangling.msg"}) {
        SCOPED_TRACE(name);
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        EXPECT_EQ(WriteAll(&writer, folder.File(name), kNew), kNoErr);
        EXPECT_FALSE(std::filesystem::is_symlink(folder.File(name)));
        EXPECT_EQ(ReadWholeFile(folder.File(name)), kNew);
    }
    EXPECT_EQ(ReadWholeFile(folder.File("real.msg")), kOld);
    EXPECT_EQ(Entries(folder.path()),
              (std::set<std::string>{"dangling.msg", "link.msg", "real.msg"}));
}

TEST(TargetWriter, WritesADeviceInPlace) {
    veldoran::TargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, "/dev/null", kNew), kNoErr);
    struct stat info {};
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST(TargetWriter, RefusesTargetsItCannotReplace) {
    TempDir folder;
    ASSERT_TRUE(std::filesystem::create_directory(folder.File("sub")));
    ASSERT_EQ(symlink("sub", folder.File("folder-link").c_str()), 0);
    struct Case {
        const char* label;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"empty path", ""},
        {"a folder", folder.File("sub")},
        {"a trailing slash", folder.File("new/")},
        {"a missing folder", folder.File("missing/out.msg")},
        {"a link to a folder", folder.File("folder-link")},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        EXPECT_EQ(writer.Open(testCase.path.c_str()), kOtherErr);
        EXPECT_EQ(writer.TemporaryPath(), "");
    }
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{"folder-link", "sub"}));
}

// Targets that an unprivileged user could not replace in one step are refused at Open, before
// the caller has spent anything, and are left exactly as they were. Run as nobody, since the
// superuser may replace anything.
TEST(TargetWriter, TargetsThatCannotBeReplacedAreRefusedAtOpen) {
    TempDir folder;
    ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
    const std::string readOnly = folder.File("readonly.msg");
    ASSERT_TRUE(WriteWholeFile(readOnly, kOld));
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    // A writable target in a folder the user may not write to.
    const std::string closedFolder = folder.File("closed/");
    ASSERT_TRUE(std::filesystem::create_directory(closedFolder));
    ASSERT_EQ(chmod(closedFolder.c_str(), 0755), 0);
    const std::string inClosed = closedFolder + "out.msg";
    ASSERT_TRUE(WriteWholeFile(inClosed, kOld));
    ASSERT_EQ(chmod(inClosed.c_str(), 0666), 0);
    // A writable target owned by someone else in a sticky folder such as /tmp.
    const std::string sticky = folder.File("sticky/");
    ASSERT_TRUE(std::filesystem::create_directory(sticky));
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    const std::string inSticky = sticky + "out.msg";
    ASSERT_TRUE(WriteWholeFile(inSticky, kOld));
    ASSERT_EQ(chmod(inSticky.c_str(), 0666), 0);

    const int status = testsupport::RunAsUnprivileged([&]() {
        int failures = 0;
        for (const std::string& target : {readOnly, inClosed, inSticky}) {
            // The check itself must hold for this user, or the test would prove nothing.
            if (access(target.c_str(), R_OK) != 0) {
                return 100;
            }
            veldoran::TargetWriter writer;
            writer.InitCreate(nullptr);
            failures += writer.Open(target.c_str()) == kOtherErr ? 0 : 1;
            failures += writer.TemporaryPath().empty() ? 0 : 1;
        }
        // The user's own new target in the sticky folder is still fine.
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        failures += WriteAll(&writer, sticky + "mine.msg", kNew) == kNoErr ? 0 : 1;
        return failures;
    });
    if (status == testsupport::kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(status, 0);
    for (const std::string& target : {readOnly, inClosed, inSticky}) {
        EXPECT_EQ(ReadWholeFile(target), kOld) << target;
    }
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{"closed", "readonly.msg", "sticky"}));
    EXPECT_EQ(Entries(closedFolder), std::set<std::string>{"out.msg"});
    EXPECT_EQ(Entries(sticky), (std::set<std::string>{"mine.msg", "out.msg"}));
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
    return veldoran::TargetWriterCalls::System().reserve(fd, length);
}

veldoran::TargetWriterCalls FaultyCalls() {
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.write = FaultyWrite;
    calls.fsync = FaultyFsync;
    calls.close = FaultyClose;
    calls.rename = FaultyRename;
    calls.reserve = FaultyReserve;
    return calls;
}

TEST(TargetWriter, AFailureAtAnyStepKeepsTheOldTarget) {
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
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        chmod(target.c_str(), 0640);
        gFaults = testCase.faults;
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        EXPECT_EQ(WriteAll(&writer, target, kNew), kOtherErr);
        gFaults = Faults{};
        EXPECT_EQ(ReadWholeFile(target), kOld);
        EXPECT_EQ(ModeOf(target), 0640u);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
}

int gFsyncs = 0;
int CountedFsync(int fd) {
    ++gFsyncs;
    return FaultyFsync(fd);
}

// The content may be synced apart from the rename (beside the key headers' syncs): it then is
// not synced again, unless more was written since; a failing sync there fails the commit and
// leaves the old target and no temporary file.
TEST(TargetWriter, ContentSyncedAheadOfTheCommit) {
    struct Case {
        const char* label;
        bool writeAfterSync;
        int failFsync;
        int fsyncs;
        int32_t synced;
    };
    const std::vector<Case> cases = {
        {"synced once", false, 0, 1, kNoErr},
        {"written to since", true, 0, 2, kNoErr},
        {"the sync fails", false, EIO, 1, kOtherErr},
    };
    veldoran::TargetWriterCalls calls = FaultyCalls();
    calls.fsync = CountedFsync;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        gFaults = Faults{};
        gFaults.failFsync = testCase.failFsync;
        gFsyncs = 0;
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
        ASSERT_EQ(writer.Write(kNew.data(), 4), kNoErr);
        const size_t rest = testCase.writeAfterSync ? 4 : kNew.size();
        if (!testCase.writeAfterSync) {
            ASSERT_EQ(writer.Write(kNew.data() + 4, static_cast<uint32_t>(rest - 4)), kNoErr);
        }
        EXPECT_EQ(writer.SyncContent(), testCase.synced);
        if (testCase.writeAfterSync) {
            ASSERT_EQ(writer.Write(kNew.data() + rest, static_cast<uint32_t>(kNew.size() - rest)),
                      kNoErr);
        }
        // The name comes only with the commit.
        EXPECT_EQ(ReadWholeFile(target), kOld);
        EXPECT_EQ(writer.Commit(), testCase.synced);
        gFaults = Faults{};
        EXPECT_EQ(gFsyncs, testCase.fsyncs);
        EXPECT_EQ(ReadWholeFile(target), testCase.synced == kNoErr ? kNew : kOld);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
}

TEST(TargetWriter, SpaceIsSetAsideBeforeTheContentIsMade) {
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
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        gFaults.failReserve = testCase.reserveErrno;
        veldoran::TargetWriter writer;
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

TEST(TargetWriter, AnAbandonedReplacementLeavesNothing) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    {
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
        EXPECT_NE(writer.TemporaryPath(), "");
        EXPECT_EQ(writer.Write(kNew.data(), static_cast<uint32_t>(kNew.size())), kNoErr);
        // Destroyed without Commit.
    }
    EXPECT_EQ(ReadWholeFile(target), kOld);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

TEST(TargetWriter, ShortAndInterruptedWritesAreCompleted) {
    TempDir folder;
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    gFaults.shortWrites = true;
    veldoran::TargetWriter writer;
    writer.InitCreate(&calls);
    EXPECT_EQ(WriteAll(&writer, folder.File("out.msg"), kNew), kNoErr);
    gFaults = Faults{};
    EXPECT_EQ(ReadWholeFile(folder.File("out.msg")), kNew);
}

// A run killed while it writes leaves nothing in the target's folder: the temporary file has
// no name until Commit, and the space it set aside goes with it.
TEST(TargetWriter, AKilledRunLeavesNothingBehind) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    const int status = testsupport::RunInChild([&]() {
        veldoran::TargetWriter writer;
        writer.InitCreate(nullptr);
        if (writer.Open(target.c_str()) != kNoErr || writer.Reserve(1 << 20) != kNoErr ||
            writer.Write(kNew.data(), static_cast<uint32_t>(kNew.size())) != kNoErr) {
            return 1;
        }
        raise(SIGKILL);
        return 2;
    });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(ReadWholeFile(target), kOld);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

// Where no unnamed file can be had, the temporary file is named; a killed run's leftover is
// removed by the next run in that folder once no process holds it and nothing has written to
// it for a minute. A file still locked by its writer, a recent one, and files of other names
// stay.
int RefuseUnnamed(const char* path, int flags, mode_t mode) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
#endif
    return ::open(path, flags, mode);
}

void MakeOld(const std::string& path) {
    const timespec old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

TEST(TargetWriter, LeftoversOfKilledRunsAreRemovedByTheNextRun) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.open = RefuseUnnamed;
    const int status = testsupport::RunInChild([&]() {
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        if (writer.Open(target.c_str()) != kNoErr || writer.Reserve(1 << 20) != kNoErr) {
            return 1;
        }
        raise(SIGKILL);
        return 2;
    });
    ASSERT_EQ(status, -1);
    std::set<std::string> leftovers = Entries(folder.path());
    leftovers.erase("out.msg");
    ASSERT_EQ(leftovers.size(), 1u);
    const std::string leftover = folder.File(*leftovers.begin());
    MakeOld(leftover);

    // Another writer's file, old but still locked; a recent unlocked one; other names.
    const std::string held = folder.File(".veldoran-held01.tmp");
    const std::string recent = folder.File(".veldoran-young1.tmp");
    ASSERT_TRUE(WriteWholeFile(held, kOld));
    ASSERT_TRUE(WriteWholeFile(recent, kOld));
    MakeOld(held);
    const int heldFd = open(held.c_str(), O_RDONLY);
    ASSERT_GE(heldFd, 0);
    ASSERT_EQ(flock(heldFd, LOCK_EX), 0);
    for (const char* name : {".veldoran-other.tmpx", "veldoran-abcdef.tmp", "letter.txt"}) {
        ASSERT_TRUE(WriteWholeFile(folder.File(name), kOld));
        MakeOld(folder.File(name));
    }

    veldoran::TargetWriter writer;
    writer.InitCreate(&calls);
    EXPECT_EQ(WriteAll(&writer, target, kNew), kNoErr);
    close(heldFd);
    EXPECT_EQ(ReadWholeFile(target), kNew);
    EXPECT_EQ(Entries(folder.path()),
              (std::set<std::string>{".veldoran-held01.tmp", ".veldoran-young1.tmp",
                                     ".veldoran-other.tmpx", "veldoran-abcdef.tmp", "letter.txt",
                                     "out.msg"}));
}

int KilledAtRename(const char*, const char*) {
    raise(SIGKILL);
    return -1;
}

// The one instant in which an unnamed file has a name of its own is between its link and its
// rename over an existing target. A writer killed there leaves a file that the next run in the
// folder removes at once, its lock being gone; a new target is linked under its name directly
// and never has that instant.
TEST(TargetWriter, AWriterKilledAtItsRenameLeavesOnlyWhatTheNextRunRemovesAtOnce) {
    TempDir folder;
    const std::string existing = folder.File("out.msg");
    const std::string fresh = folder.File("new.msg");
    ASSERT_TRUE(WriteWholeFile(existing, kOld));
    const int probe = open(folder.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (probe < 0) {
        GTEST_SKIP() << "the temporary folder's file system has no unnamed files";
    }
    close(probe);
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.rename = KilledAtRename;
    auto commitKilledAtRename = [&](const std::string& target) {
        return testsupport::RunInChild([&]() {
            veldoran::TargetWriter writer;
            writer.InitCreate(&calls);
            return WriteAll(&writer, target, kNew) == kNoErr ? 0 : 1;
        });
    };

    EXPECT_EQ(commitKilledAtRename(fresh), 0);
    EXPECT_EQ(ReadWholeFile(fresh), kNew);

    EXPECT_EQ(commitKilledAtRename(existing), -1);
    EXPECT_EQ(ReadWholeFile(existing), kOld);
    std::set<std::string> leftovers = Entries(folder.path());
    leftovers.erase("out.msg");
    leftovers.erase("new.msg");
    ASSERT_EQ(leftovers.size(), 1u);
    const std::string leftover = *leftovers.begin();
    EXPECT_EQ(leftover.rfind(".veldoran-", 0), 0u);
    EXPECT_EQ(leftover.substr(leftover.size() - 4), ".new");

    // One that a live writer still holds is left alone, however old.
    const std::string held = folder.File(".veldoran-held02.new");
    ASSERT_TRUE(WriteWholeFile(held, kOld));
    MakeOld(held);
    const int heldFd = open(held.c_str(), O_RDONLY);
    ASSERT_GE(heldFd, 0);
    ASSERT_EQ(flock(heldFd, LOCK_EX), 0);
    veldoran::TargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, existing, kNew), kNoErr);
    close(heldFd);
    EXPECT_EQ(ReadWholeFile(existing), kNew);
    EXPECT_EQ(Entries(folder.path()),
              (std::set<std::string>{".veldoran-held02.new", "new.msg", "out.msg"}));
}

// The file-size limit: content longer than it allows is refused when its space is set aside,
// and a write past it fails rather than killing the process (its signal at the default).
TEST(TargetWriter, TheFileSizeLimitFailsTheRunInsteadOfKillingIt) {
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    const std::vector<unsigned char> big(5000, 'b');
    const int status = testsupport::RunInChild([&]() {
        signal(SIGXFSZ, SIG_DFL);
        const struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 100;
        }
        int failures = 0;
        veldoran::TargetWriter reserving;
        reserving.InitCreate(nullptr);
        failures += reserving.Open(target.c_str()) == kNoErr ? 0 : 1;
        failures += reserving.Reserve(big.size()) == kOtherErr ? 0 : 1;
        failures += reserving.TemporaryPath().empty() ? 0 : 1;
        veldoran::TargetWriter writing;
        writing.InitCreate(nullptr);
        failures += writing.Open(target.c_str()) == kNoErr ? 0 : 1;
        failures +=
            writing.Write(big.data(), static_cast<uint32_t>(big.size())) == kOtherErr ? 0 : 1;
        failures += writing.Commit() == kOtherErr ? 0 : 1;
        return failures;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadWholeFile(target), kOld);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
}

// A pipe that nobody reads is refused at Open instead of waited on; one with a reader is
// written in place. In a child that an alarm ends, so that waiting fails the test.
TEST(TargetWriter, APipeIsWrittenOnlyWhenSomeoneReadsIt) {
    TempDir folder;
    const std::string pipePath = folder.File("pipe");
    ASSERT_EQ(mkfifo(pipePath.c_str(), 0600), 0);
    EXPECT_EQ(testsupport::RunInChild([&]() {
                  alarm(20);
                  veldoran::TargetWriter writer;
                  writer.InitCreate(nullptr);
                  return writer.Open(pipePath.c_str()) == kOtherErr ? 0 : 1;
              }),
              0);
    const int reader = open(pipePath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(testsupport::RunInChild([&]() {
                  alarm(20);
                  veldoran::TargetWriter writer;
                  writer.InitCreate(nullptr);
                  return WriteAll(&writer, pipePath, kNew) == kNoErr ? 0 : 1;
              }),
              0);
    std::vector<unsigned char> received(64);
    const ssize_t count = read(reader, received.data(), received.size());
    close(reader);
    ASSERT_GT(count, 0);
    received.resize(static_cast<size_t>(count));
    EXPECT_EQ(received, kNew);
}

}  // namespace
