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

// After opened, the result of opening writer: writes content in two pieces, as the pipeline
// writes its comments and its armour, and commits.
int32_t WriteOpened(veldoran::TargetWriter* writer, int32_t opened,
                    const std::vector<unsigned char>& content) {
    int32_t result = opened;
    if (result == kNoErr) {
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

int32_t WriteAll(veldoran::TargetWriter* writer, const std::string& path,
                 const std::vector<unsigned char>& content) {
    return WriteOpened(writer, writer->Open(path.c_str()), content);
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

// The calls of the writer's seam, each of which a test can make fail.
enum class Call {
    kNone,
    kOpenat,
    kWrite,
    kFsync,
    kClose,
    kRenameat,
    kLinkat,
    kFlock,
    kFtruncate,
    kReserve,
    kSyncFolder,
};

// System calls that fail on demand.
struct Faults {
    Call failing = Call::kNone;
    int error = 0;             // the errno value the failing call gives
    int reached = 0;           // how often the failing call was made
    bool shortWrites = false;  // one byte per write, with an interruption before each
    bool noUnnamed = false;    // a file system without unnamed files (O_TMPFILE)
};
Faults gFaults;

bool Injected(Call call) {
    if (gFaults.failing != call) {
        return false;
    }
    ++gFaults.reached;
    errno = gFaults.error;
    return true;
}

int FaultyOpenAt(int folderFd, const char* path, int flags, mode_t mode) {
#ifdef O_TMPFILE
    if (gFaults.noUnnamed && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
#endif
    return Injected(Call::kOpenat) ? -1 : ::openat(folderFd, path, flags, mode);
}
ssize_t FaultyWrite(int fd, const void* data, size_t count) {
    static bool interrupted = false;
    if (Injected(Call::kWrite)) {
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
    return Injected(Call::kFsync) ? -1 : ::fsync(fd);
}
int FaultyClose(int fd) {
    const int result = ::close(fd);
    return Injected(Call::kClose) ? -1 : result;
}
int FaultyRenameAt(int fromFolder, const char* from, int toFolder, const char* to) {
    return Injected(Call::kRenameat) ? -1 : ::renameat(fromFolder, from, toFolder, to);
}
int FaultyLinkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    return Injected(Call::kLinkat) ? -1 : ::linkat(fromFolder, from, toFolder, to, flags);
}
int FaultyFlock(int fd, int operation) {
    return Injected(Call::kFlock) ? -1 : ::flock(fd, operation);
}
int FaultyFtruncate(int fd, off_t length) {
    return Injected(Call::kFtruncate) ? -1 : ::ftruncate(fd, length);
}
int FaultyReserve(int fd, off_t length) {
    return Injected(Call::kReserve) ? -1
                                    : veldoran::TargetWriterCalls::System().reserve(fd, length);
}
int FaultySyncFolder(int folderFd) {
    return Injected(Call::kSyncFolder) ? -1
                                       : veldoran::TargetWriterCalls::System().syncFolder(folderFd);
}

veldoran::TargetWriterCalls FaultyCalls() {
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.openat = FaultyOpenAt;
    calls.write = FaultyWrite;
    calls.fsync = FaultyFsync;
    calls.close = FaultyClose;
    calls.renameat = FaultyRenameAt;
    calls.linkat = FaultyLinkAt;
    calls.flock = FaultyFlock;
    calls.ftruncate = FaultyFtruncate;
    calls.reserve = FaultyReserve;
    calls.syncFolder = FaultySyncFolder;
    return calls;
}

// The ways a writer can be asked to put a file in place.
struct Way {
    const char* label;
    bool inFolder;  // OpenInFolder, else Open(path)
    veldoran::TargetWriter::Naming naming;
    bool oldTarget;  // a target stands there before
};
const std::vector<Way> kWays = {
    {"replacing a target", false, veldoran::TargetWriter::Naming::kReplace, true},
    {"a new target", false, veldoran::TargetWriter::Naming::kReplace, false},
    {"a new name in a folder", true, veldoran::TargetWriter::Naming::kNeverReplace, false},
    {"replacing a name in a folder", true, veldoran::TargetWriter::Naming::kReplace, true},
};

// Opens as the way says, sets space aside, then writes kNew as WriteAll does.
int32_t WriteAs(veldoran::TargetWriter* writer, const Way& way, const TempDir& folder) {
    int32_t opened = kOtherErr;
    if (way.inFolder) {
        const int folderFd = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        opened = writer->OpenInFolder(folderFd, "out.msg", 0640, way.naming);
        close(folderFd);
    } else {
        opened = writer->Open(folder.File("out.msg").c_str());
    }
    if (opened == kNoErr) {
        opened = writer->Reserve(1 << 16);
    }
    return WriteOpened(writer, opened, kNew);
}

// Every call the writer makes fails in turn, in every way of naming, with and without unnamed
// files: the writer gives -1 and the call's own errno, an old target stays byte for byte as it
// was (or no target appears) and no temporary file is left. The folder's sync comes after the
// name: a name just made is taken back, a rename cannot be and stands.
TEST(TargetWriter, EveryFailingCallKeepsTheOldTargetAndLeavesNothing) {
    struct Case {
        const char* label;
        Call call;
        int error;
    };
    const std::vector<Case> cases = {
        {"a temporary file cannot be made", Call::kOpenat, EACCES},
        {"disk full", Call::kWrite, ENOSPC},
        {"space cannot be set aside", Call::kReserve, ENOSPC},
        {"the lock is refused", Call::kFlock, ENOLCK},
        {"space set aside cannot be given back", Call::kFtruncate, EIO},
        {"fsync fails", Call::kFsync, EIO},
        {"close fails", Call::kClose, EIO},
        {"the link fails", Call::kLinkat, EMLINK},
        {"rename fails", Call::kRenameat, EXDEV},
        {"the folder's sync fails", Call::kSyncFolder, EIO},
    };
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const Case& testCase : cases) {
        int reached = 0;
        for (const bool noUnnamed : {false, true}) {
            for (const Way& way : kWays) {
                SCOPED_TRACE(std::string(testCase.label) + ", " + way.label +
                             (noUnnamed ? ", no unnamed files" : ""));
                TempDir folder;
                const std::string target = folder.File("out.msg");
                if (way.oldTarget) {
                    ASSERT_TRUE(WriteWholeFile(target, kOld));
                    ASSERT_EQ(chmod(target.c_str(), 0604), 0);
                }
                gFaults = Faults{};
                gFaults.failing = testCase.call;
                gFaults.error = testCase.error;
                gFaults.noUnnamed = noUnnamed;
                veldoran::TargetWriter writer;
                writer.InitCreate(&calls);
                const int32_t result = WriteAs(&writer, way, folder);
                const Faults seen = gFaults;
                gFaults = Faults{};
                reached += seen.reached;
                if (seen.reached == 0) {
                    // Not a call this way makes.
                    EXPECT_EQ(result, kNoErr);
                    continue;
                }
                EXPECT_EQ(result, kOtherErr);
                EXPECT_EQ(writer.LastError(), testCase.error);
                const bool renamed = testCase.call == Call::kSyncFolder && way.oldTarget;
                if (renamed) {
                    EXPECT_EQ(ReadWholeFile(target), kNew);
                } else if (way.oldTarget) {
                    EXPECT_EQ(ReadWholeFile(target), kOld);
                    EXPECT_EQ(ModeOf(target), 0604u);
                }
                EXPECT_EQ(Entries(folder.path()), way.oldTarget ? std::set<std::string>{"out.msg"}
                                                                : std::set<std::string>{});
            }
        }
        // Each call is made by some way, or the row tests nothing.
        EXPECT_GT(reached, 0) << testCase.label;
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
        gFaults.failing = testCase.failFsync != 0 ? Call::kFsync : Call::kNone;
        gFaults.error = testCase.failFsync;
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
        gFaults.failing = testCase.reserveErrno != 0 ? Call::kReserve : Call::kNone;
        gFaults.error = testCase.reserveErrno;
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

// A file made inside a folder held open: what stands under the name is never followed and,
// unless replacing is asked for, never touched (EEXIST); the mode is exactly the one asked for,
// whatever the umask; a name that is not one plain entry of the folder is refused.
TEST(TargetWriter, AFileMadeInAFolderNeverReplacesOrFollowsWhatStandsThere) {
    using Naming = veldoran::TargetWriter::Naming;
    enum class Standing { kNothing, kFile, kLink, kDanglingLink, kFolder };
    struct Case {
        const char* label;
        const char* name;
        Standing standing;
        Naming naming;
        int error;  // LastError after a refusal at Open, 0 for a file written
    };
    const std::vector<Case> cases = {
        {"a free name", "out.msg", Standing::kNothing, Naming::kNeverReplace, 0},
        {"a file there", "out.msg", Standing::kFile, Naming::kNeverReplace, EEXIST},
        {"a link there", "out.msg", Standing::kLink, Naming::kNeverReplace, EEXIST},
        {"a dangling link there", "out.msg", Standing::kDanglingLink, Naming::kNeverReplace,
         EEXIST},
        {"a folder there", "out.msg", Standing::kFolder, Naming::kNeverReplace, EEXIST},
        {"a file replaced", "out.msg", Standing::kFile, Naming::kReplace, 0},
        {"a link replaced as a link", "out.msg", Standing::kLink, Naming::kReplace, 0},
        {"a folder is not replaced", "out.msg", Standing::kFolder, Naming::kReplace, EISDIR},
        {"an empty name", "", Standing::kNothing, Naming::kNeverReplace, EINVAL},
        {"the folder itself", ".", Standing::kNothing, Naming::kReplace, EINVAL},
        {"its parent", "..", Standing::kNothing, Naming::kReplace, EINVAL},
        {"a path", "sub/out.msg", Standing::kNothing, Naming::kNeverReplace, EINVAL},
    };
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const bool noUnnamed : {false, true}) {
        for (const Case& testCase : cases) {
            SCOPED_TRACE(std::string(testCase.label) + (noUnnamed ? ", no unnamed files" : ""));
            TempDir folder;
            TempDir elsewhere;
            const std::string linked = elsewhere.File("linked.msg");
            ASSERT_TRUE(WriteWholeFile(linked, kOld));
            const std::string target = folder.File("out.msg");
            switch (testCase.standing) {
                case Standing::kNothing:
                    break;
                case Standing::kFile:
                    ASSERT_TRUE(WriteWholeFile(target, kOld));
                    break;
                case Standing::kLink:
                    ASSERT_EQ(symlink(linked.c_str(), target.c_str()), 0);
                    break;
                case Standing::kDanglingLink:
                    ASSERT_EQ(symlink(elsewhere.File("missing").c_str(), target.c_str()), 0);
                    break;
                case Standing::kFolder:
                    ASSERT_TRUE(std::filesystem::create_directory(target));
                    break;
            }
            const std::set<std::string> before = Entries(folder.path());
            gFaults = Faults{};
            gFaults.noUnnamed = noUnnamed;
            const mode_t previous = umask(077);
            veldoran::TargetWriter writer;
            writer.InitCreate(&calls);
            const int folderFd = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const int32_t opened =
                writer.OpenInFolder(folderFd, testCase.name, 0644, testCase.naming);
            close(folderFd);
            const int32_t result = WriteOpened(&writer, opened, kNew);
            umask(previous);
            gFaults = Faults{};
            EXPECT_EQ(ReadWholeFile(linked), kOld);
            EXPECT_FALSE(std::filesystem::exists(elsewhere.File("missing")));
            if (testCase.error != 0) {
                EXPECT_EQ(opened, kOtherErr);
                EXPECT_EQ(writer.LastError(), testCase.error);
                EXPECT_EQ(Entries(folder.path()), before);
                continue;
            }
            EXPECT_EQ(result, kNoErr);
            EXPECT_FALSE(std::filesystem::is_symlink(target));
            EXPECT_EQ(ReadWholeFile(target), kNew);
            EXPECT_EQ(ModeOf(target), 0644u);
            EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
        }
    }
}

// A name that another process takes while the file is written is still never replaced: Commit
// fails with EEXIST and leaves the other file as it is.
TEST(TargetWriter, ANameTakenMeanwhileIsNotReplaced) {
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const bool noUnnamed : {false, true}) {
        SCOPED_TRACE(noUnnamed ? "no unnamed files" : "unnamed files");
        TempDir folder;
        gFaults = Faults{};
        gFaults.noUnnamed = noUnnamed;
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        const int folderFd = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int32_t opened = writer.OpenInFolder(folderFd, "out.msg", 0600,
                                                   veldoran::TargetWriter::Naming::kNeverReplace);
        close(folderFd);
        ASSERT_EQ(opened, kNoErr);
        ASSERT_TRUE(WriteWholeFile(folder.File("out.msg"), kOld));
        EXPECT_EQ(WriteOpened(&writer, opened, kNew), kOtherErr);
        gFaults = Faults{};
        EXPECT_EQ(writer.LastError(), EEXIST);
        EXPECT_EQ(ReadWholeFile(folder.File("out.msg")), kOld);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
}

// Unnamed or, where there are no unnamed files, named: an abandoned file goes either way.
TEST(TargetWriter, AnAbandonedReplacementLeavesNothing) {
    const veldoran::TargetWriterCalls calls = FaultyCalls();
    for (const bool noUnnamed : {false, true}) {
        SCOPED_TRACE(noUnnamed ? "no unnamed files" : "unnamed files");
        TempDir folder;
        const std::string target = folder.File("out.msg");
        ASSERT_TRUE(WriteWholeFile(target, kOld));
        gFaults = Faults{};
        gFaults.noUnnamed = noUnnamed;
        {
            veldoran::TargetWriter writer;
            writer.InitCreate(&calls);
            ASSERT_EQ(writer.Open(target.c_str()), kNoErr);
            EXPECT_EQ(writer.TemporaryPath().empty(), !noUnnamed);
            EXPECT_EQ(writer.Write(kNew.data(), static_cast<uint32_t>(kNew.size())), kNoErr);
            // Destroyed without Commit.
        }
        gFaults = Faults{};
        EXPECT_EQ(ReadWholeFile(target), kOld);
        EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"out.msg"});
    }
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

int RefuseUnnamed(int folderFd, const char* path, int flags, mode_t mode) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
#endif
    return ::openat(folderFd, path, flags, mode);
}

void MakeOld(const std::string& path) {
    const timespec old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

std::string Slot(const char* target, veldoran::TargetWriter::Temporary kind, int slot) {
    return veldoran::TargetWriter::TemporaryName(target, kind, slot);
}

// A file standing under name, locked for as long as this object lives, as a live writer's is.
class HeldFile {
  public:
    explicit HeldFile(const std::string& path) {
        EXPECT_TRUE(WriteWholeFile(path, kOld));
        MakeOld(path);
        fd_ = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(flock(fd_, LOCK_EX), 0);
    }
    ~HeldFile() { close(fd_); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

  private:
    int fd_ = -1;
};

// Where no unnamed file can be had, the temporary file is named; a killed run's leftover is
// removed by the next run of that target once no process holds it and nothing has written to
// it for a minute. A file still locked by its writer, a recent one, and files of other names
// (another target's slots among them: a run looks at its own target's few names, never through
// the folder) stay.
TEST(TargetWriter, LeftoversOfKilledRunsAreRemovedByTheNextRun) {
    using Temporary = veldoran::TargetWriter::Temporary;
    TempDir folder;
    const std::string target = folder.File("out.msg");
    ASSERT_TRUE(WriteWholeFile(target, kOld));
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.openat = RefuseUnnamed;
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
    const std::string leftover = Slot("out.msg", Temporary::kCreated, 0);
    ASSERT_EQ(Entries(folder.path()), (std::set<std::string>{leftover, "out.msg"}));
    MakeOld(folder.File(leftover));

    const std::string held = Slot("out.msg", Temporary::kCreated, 1);
    const std::string recent = Slot("out.msg", Temporary::kCreated, 2);
    const std::string otherTarget = Slot("other.msg", Temporary::kCreated, 0);
    const HeldFile holding(folder.File(held));
    ASSERT_TRUE(WriteWholeFile(folder.File(recent), kOld));
    for (const std::string& name :
         {otherTarget, std::string(".veldoran-abcdef.tmp"), std::string("letter.txt")}) {
        ASSERT_TRUE(WriteWholeFile(folder.File(name), kOld));
        MakeOld(folder.File(name));
    }

    veldoran::TargetWriter writer;
    writer.InitCreate(&calls);
    EXPECT_EQ(WriteAll(&writer, target, kNew), kNoErr);
    EXPECT_EQ(ReadWholeFile(target), kNew);
    EXPECT_EQ(Entries(folder.path()),
              (std::set<std::string>{held, recent, otherTarget, ".veldoran-abcdef.tmp",
                                     "letter.txt", "out.msg"}));
}

// A new file in a folder where no unnamed file can be had is created under a temporary name
// and linked under its own only once whole: a write killed before that leaves the temporary
// file, which the next run of that name removes once stale, whether the name is still free or
// taken by then; a fresh leftover only moves the next run to another slot.
TEST(TargetWriter, AKilledWriteInAFolderLeavesOnlyWhatTheNextRunRemoves) {
    using Temporary = veldoran::TargetWriter::Temporary;
    using Naming = veldoran::TargetWriter::Naming;
    TempDir folder;
    veldoran::TargetWriterCalls calls = veldoran::TargetWriterCalls::System();
    calls.openat = RefuseUnnamed;
    auto writeIn = [&](const char* name, bool killed) {
        const int folderFd = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        veldoran::TargetWriter writer;
        writer.InitCreate(&calls);
        int32_t result = writer.OpenInFolder(folderFd, name, 0644, Naming::kNeverReplace);
        close(folderFd);
        if (result == kNoErr) {
            result = writer.Write(kNew.data(), static_cast<uint32_t>(kNew.size()));
        }
        if (result == kNoErr && killed) {
            raise(SIGKILL);
        }
        return result == kNoErr ? writer.Commit() : result;
    };
    const std::string leftover = Slot("entry.txt", Temporary::kCreated, 0);
    ASSERT_EQ(testsupport::RunInChild([&]() { return writeIn("entry.txt", true); }), -1);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{leftover});

    EXPECT_EQ(writeIn("entry.txt", false), kNoErr);
    EXPECT_EQ(ReadWholeFile(folder.File("entry.txt")), kNew);
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{leftover, "entry.txt"}));

    MakeOld(folder.File(leftover));
    EXPECT_EQ(writeIn("entry.txt", false), kOtherErr);
    EXPECT_EQ(ReadWholeFile(folder.File("entry.txt")), kNew);
    EXPECT_EQ(Entries(folder.path()), std::set<std::string>{"entry.txt"});
}

int KilledAtRename(int, const char*, int, const char*) {
    raise(SIGKILL);
    return -1;
}

// The one instant in which an unnamed file has a name of its own is between its link and its
// rename over an existing target. A writer killed there leaves a file that the next run in the
// folder removes at once, its lock being gone; a new target is linked under its name directly
// and never has that instant.
TEST(TargetWriter, AWriterKilledAtItsRenameLeavesOnlyWhatTheNextRunRemovesAtOnce) {
    using Temporary = veldoran::TargetWriter::Temporary;
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
    calls.renameat = KilledAtRename;
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
    const std::string leftover = Slot("out.msg", Temporary::kLinked, 0);
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{leftover, "new.msg", "out.msg"}));

    // One that a live writer still holds is left alone, however old.
    const std::string held = Slot("out.msg", Temporary::kLinked, 1);
    const HeldFile holding(folder.File(held));
    veldoran::TargetWriter writer;
    writer.InitCreate(nullptr);
    EXPECT_EQ(WriteAll(&writer, existing, kNew), kNoErr);
    EXPECT_EQ(ReadWholeFile(existing), kNew);
    EXPECT_EQ(Entries(folder.path()), (std::set<std::string>{held, "new.msg", "out.msg"}));
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
