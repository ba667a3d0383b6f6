// The file reference on real files in a temporary folder: open modes, length, positions, short
// reads, re-opening, existence, deletion, closed references and checked paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;
using Bytes = std::vector<unsigned char>;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class FileRefTest : public ::testing::Test {
  protected:
    void SetUp() override { utils.InitCreate(nullptr); }

    // An initialised reference to name inside the temporary folder.
    std::unique_ptr<TypFileRefUnix> Ref(const std::string& name) {
        auto ref = std::make_unique<TypFileRefUnix>();
        EXPECT_EQ(ref->InitCreate(&utils), kNoErr);
        EXPECT_EQ(ref->SetPath(dir.File(name).c_str()), kNoErr);
        return ref;
    }

    bool FileExists(const std::string& name) {
        struct stat info {};
        return stat(dir.File(name).c_str(), &info) == 0;
    }

    testsupport::TempDir dir;
    TypUtilsUnix utils;
};

TEST_F(FileRefTest, InitCreateLeavesTheReferenceClosed) {
    TypFileRefUnix ref;
    ref.openFlag = 1;  // as if left over
    EXPECT_EQ(ref.InitCreate(&utils), kNoErr);
    EXPECT_EQ(ref.utils, &utils);
    EXPECT_EQ(ref.openFlag, 0);
    EXPECT_EQ(ref.IsOpend(), kFileClosed);
}

// ---- Modes ---------------------------------------------------------------------------------

TEST_F(FileRefTest, CreateModeMakesAnEmptyFileOrEmptiesOne) {
    auto fresh = Ref("new.txt");
    ASSERT_EQ(fresh->OpenDF(kOpenCreate), kNoErr);
    EXPECT_EQ(fresh->IsOpend(), kNoErr);
    EXPECT_EQ(fresh->Write(Text("hello").data(), 5), kNoErr);
    EXPECT_EQ(fresh->CloseDF(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("new.txt")), Text("hello"));

    auto again = Ref("new.txt");
    ASSERT_EQ(again->OpenDF(kOpenCreate), kNoErr);
    int32_t length = -5;
    EXPECT_EQ(again->GetLength(&length), kNoErr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(again->CloseDF(), kNoErr);
    EXPECT_TRUE(ReadWholeFile(dir.File("new.txt")).empty());
}

TEST_F(FileRefTest, OpenFailsForMissingFilesAndFolders) {
    const struct {
        const char* name;
        int32_t mode;
    } cases[] = {
        {"missing.txt", kOpenUpdate},         // update never creates
        {"missing.txt", kOpenRead},           //
        {"no/such/folder.txt", kOpenCreate},  // create needs the folder
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto ref = Ref(row.name);
        EXPECT_EQ(ref->OpenDF(row.mode), kOtherErr);
        EXPECT_EQ(ref->IsOpend(), kFileClosed);
        EXPECT_EQ(ref->stream, nullptr);
        EXPECT_EQ(ref->CloseDF(), kNoErr);  // harmless after a failed open
    }
    EXPECT_FALSE(FileExists("missing.txt"));
}

TEST_F(FileRefTest, UpdateModeReadsAndRewritesInPlace) {
    ASSERT_TRUE(WriteWholeFile(dir.File("key"), Text("0123456789")));
    auto ref = Ref("key");
    ASSERT_EQ(ref->OpenDF(kOpenUpdate), kNoErr);
    unsigned char head[4];
    ASSERT_EQ(ref->Read(head, 4), kNoErr);
    EXPECT_EQ(Bytes(head, head + 4), Text("0123"));
    ASSERT_EQ(ref->SetFilePos(2), kNoErr);
    ASSERT_EQ(ref->Write(Text("ab").data(), 2), kNoErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("key")), Text("01ab456789"));
}

TEST_F(FileRefTest, ReadModeRefusesWrites) {
    ASSERT_TRUE(WriteWholeFile(dir.File("key"), Text("keep")));
    auto ref = Ref("key");
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    EXPECT_EQ(ref->Write(Text("XXXX").data(), 4), kOtherErr);
    EXPECT_EQ(ref->IsOpend(), kNoErr);  // a failed write leaves it open for the caller to close
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("key")), Text("keep"));
}

TEST_F(FileRefTest, InvalidModeLeavesTheReferenceAsItWas) {
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), Text("content")));
    for (int32_t mode : {3, -1, 100, INT32_MIN}) {
        SCOPED_TRACE(mode);
        auto ref = Ref("doc");
        EXPECT_EQ(ref->OpenDF(mode), kOtherErr);
        EXPECT_EQ(ref->IsOpend(), kFileClosed);
        EXPECT_EQ(ref->stream, nullptr);

        ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
        EXPECT_EQ(ref->OpenDF(mode), kOtherErr);
        EXPECT_EQ(ref->IsOpend(), kNoErr);  // still open in its first mode
        EXPECT_EQ(ref->CloseDF(), kNoErr);
    }
    auto absent = Ref("absent");
    EXPECT_EQ(absent->OpenDF(7), kOtherErr);
    EXPECT_FALSE(FileExists("absent"));
    EXPECT_EQ(ReadWholeFile(dir.File("doc")), Text("content"));
}

TEST_F(FileRefTest, OpeningAnOpenReferenceKeepsTheFirstStream) {
    ASSERT_TRUE(WriteWholeFile(dir.File("key"), Text("material")));
    auto ref = Ref("key");
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    FILE* first = ref->stream;
    EXPECT_EQ(ref->OpenDF(kOpenCreate), kNoErr);  // would have emptied the file
    EXPECT_EQ(ref->stream, first);
    EXPECT_EQ(ref->Write(Text("x").data(), 1), kOtherErr);  // still read-only
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("key")), Text("material"));
}

TEST_F(FileRefTest, ReopensAfterClose) {
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenCreate), kNoErr);
    ASSERT_EQ(ref->Write(Text("first").data(), 5), kNoErr);
    ASSERT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);  // second close
    ASSERT_EQ(ref->OpenDF(kOpenUpdate), kNoErr);
    ASSERT_EQ(ref->SetFilePos(5), kNoErr);
    ASSERT_EQ(ref->Write(Text("+").data(), 1), kNoErr);
    ASSERT_EQ(ref->CloseDF(), kNoErr);
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    unsigned char all[6];
    EXPECT_EQ(ref->Read(all, 6), kNoErr);
    EXPECT_EQ(Bytes(all, all + 6), Text("first+"));
    EXPECT_EQ(ref->CloseDF(), kNoErr);
}

TEST_F(FileRefTest, FoldersAreNotFiles) {
    ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
    auto ref = Ref("sub");
    EXPECT_EQ(ref->Exists(), kOtherErr);
    for (int32_t mode : {kOpenUpdate, kOpenRead, kOpenCreate}) {
        EXPECT_EQ(ref->OpenDF(mode), kOtherErr) << mode;
        EXPECT_EQ(ref->IsOpend(), kFileClosed);
    }
    EXPECT_EQ(ref->Delete(), kNoErr);  // nothing to delete
    EXPECT_TRUE(FileExists("sub"));
}

// A pipe nobody writes to exists, but opening it must not wait for a writer: every mode refuses
// it at once. In a child that an alarm ends, so that waiting fails the test.
TEST_F(FileRefTest, PipesAreRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    const int status = testsupport::RunInChild([&]() {
        alarm(20);
        auto ref = Ref("pipe");
        int failures = ref->Exists() == kNoErr ? 0 : 1;
        for (int32_t mode : {kOpenRead, kOpenUpdate, kOpenCreate}) {
            failures += ref->OpenDF(mode) == kOtherErr ? 0 : 1;
            failures += ref->IsOpend() == kFileClosed ? 0 : 1;
        }
        return failures;
    });
    EXPECT_EQ(status, 0);
}

// The description of the open file tells a plain file from a device.
TEST_F(FileRefTest, GetInfoDescribesTheOpenFile) {
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), Text("four")));
    auto ref = Ref("doc");
    struct stat info {};
    EXPECT_EQ(ref->GetInfo(&info), kFileClosed);
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    ASSERT_EQ(ref->GetInfo(&info), kNoErr);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 4);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    TypFileRefUnix device;
    device.InitCreate(&utils);
    ASSERT_EQ(device.SetPath("/dev/null"), kNoErr);
    ASSERT_EQ(device.OpenDF(kOpenRead), kNoErr);
    ASSERT_EQ(device.GetInfo(&info), kNoErr);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(device.CloseDF(), kNoErr);
}

// ---- Length, positions, reads --------------------------------------------------------------

TEST_F(FileRefTest, LengthPositionsAndReads) {
    constexpr uint32_t kSeed = 2026;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    const Bytes content = testsupport::RandomBytes(70000, kSeed);  // several stream buffers
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), content));
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);

    int32_t length = 0;
    ASSERT_EQ(ref->GetLength(&length), kNoErr);
    EXPECT_EQ(length, 70000);
    unsigned char one = 0;
    EXPECT_EQ(ref->Read(&one, 1), kOtherErr);  // the length left the position at the end

    ASSERT_EQ(ref->SetFilePos(0), kNoErr);
    Bytes whole(70000);
    ASSERT_EQ(ref->Read(whole.data(), 70000), kNoErr);
    EXPECT_EQ(whole, content);

    for (uint32_t position : {0u, 1u, 4095u, 4096u, 69999u}) {
        ASSERT_EQ(ref->SetFilePos(position), kNoErr);
        ASSERT_EQ(ref->Read(&one, 1), kNoErr) << position;
        EXPECT_EQ(one, content[position]) << position;
    }
    EXPECT_EQ(ref->Read(nullptr, 0), kNoErr);  // nothing asked, nothing read
    EXPECT_EQ(ref->CloseDF(), kNoErr);
}

TEST_F(FileRefTest, ShortReadKeepsWhatWasReadAndStaysOpen) {
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), Text("0123456789")));
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
    ASSERT_EQ(ref->SetFilePos(6), kNoErr);
    Bytes buffer(8, '.');
    EXPECT_EQ(ref->Read(buffer.data(), 8), kOtherErr);
    EXPECT_EQ(buffer, Text("6789...."));
    EXPECT_EQ(ref->IsOpend(), kNoErr);

    ASSERT_EQ(ref->SetFilePos(20), kNoErr);  // past the end: allowed, but nothing to read
    EXPECT_EQ(ref->Read(buffer.data(), 1), kOtherErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
}

TEST_F(FileRefTest, EmptyFileHasLengthZero) {
    ASSERT_TRUE(WriteWholeFile(dir.File("empty"), {}));
    auto ref = Ref("empty");
    ASSERT_EQ(ref->OpenDF(kOpenUpdate), kNoErr);
    int32_t length = 99;
    EXPECT_EQ(ref->GetLength(&length), kNoErr);
    EXPECT_EQ(length, 0);
    unsigned char one;
    EXPECT_EQ(ref->Read(&one, 1), kOtherErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
}

TEST_F(FileRefTest, ReadsAndWritesMayFollowEachOtherDirectly) {
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenCreate), kNoErr);
    ASSERT_EQ(ref->Write(Text("hello").data(), 5), kNoErr);
    ASSERT_EQ(ref->SetFilePos(0), kNoErr);
    unsigned char two[2];
    ASSERT_EQ(ref->Read(two, 2), kNoErr);
    ASSERT_EQ(ref->Write(Text("XY").data(), 2), kNoErr);  // lands at position 2
    unsigned char last;
    ASSERT_EQ(ref->Read(&last, 1), kNoErr);  // and reading goes on after it
    EXPECT_EQ(last, 'o');
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("doc")), Text("heXYo"));
}

TEST_F(FileRefTest, LengthOfTwoGibibytesOrMoreFails) {
    // Sparse files: no disk space is used.
    const struct {
        off_t size;
        int32_t result;
        int32_t length;
    } cases[] = {
        {INT32_MAX, kNoErr, INT32_MAX},        // the largest length a 32-bit count holds
        {off_t{1} << 31, kOtherErr, 0},        // 2 GiB would wrap to a negative length
        {(off_t{1} << 32) + 5, kOtherErr, 0},  // 4 GiB + 5 would wrap to 5
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.size);
        const std::string path = dir.File("sparse");
        ASSERT_TRUE(WriteWholeFile(path, {}));
        ASSERT_EQ(truncate(path.c_str(), row.size), 0);
        auto ref = Ref("sparse");
        ASSERT_EQ(ref->OpenDF(kOpenRead), kNoErr);
        int32_t length = 0;
        EXPECT_EQ(ref->GetLength(&length), row.result);
        EXPECT_EQ(length, row.length);
        EXPECT_EQ(ref->CloseDF(), kNoErr);
    }
}

TEST_F(FileRefTest, WriteFailuresAreReported) {
    // /dev/full refuses every write with "no space left"; a buffered write fails on the close.
    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    TypFileRefUnix ref;
    ref.InitCreate(&utils);
    ASSERT_EQ(ref.SetPath("/dev/full"), kNoErr);

    ASSERT_EQ(ref.OpenDF(kOpenUpdate), kNoErr);
    EXPECT_EQ(ref.Write(Text("letter").data(), 6), kNoErr);  // still in the stream's buffer
    EXPECT_EQ(ref.CloseDF(), kOtherErr);
    EXPECT_EQ(ref.IsOpend(), kFileClosed);  // closed all the same

    ASSERT_EQ(ref.OpenDF(kOpenUpdate), kNoErr);
    EXPECT_EQ(ref.Write(Text("letter").data(), 6), kNoErr);
    EXPECT_EQ(ref.Sync(), kOtherErr);
    const Bytes big(1 << 20, 'x');
    EXPECT_EQ(ref.Write(big.data(), 1 << 20), kOtherErr);
    ref.CloseDF();
}

// ---- Closed references ---------------------------------------------------------------------

TEST_F(FileRefTest, ClosedReferenceTouchesNoStream) {
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), Text("data")));
    auto never = Ref("doc");
    auto closed = Ref("doc");
    ASSERT_EQ(closed->OpenDF(kOpenUpdate), kNoErr);
    ASSERT_EQ(closed->CloseDF(), kNoErr);
    auto flagged = Ref("doc");
    flagged->openFlag = 1;  // set by hand, with no stream behind it
    for (TypFileRefUnix* ref : {never.get(), closed.get(), flagged.get()}) {
        int32_t length = 1234;
        EXPECT_EQ(ref->GetLength(&length), kFileClosed);
        EXPECT_EQ(length, 1234);
        EXPECT_EQ(ref->SetFilePos(0), kFileClosed);
        Bytes buffer(4, '.');
        EXPECT_EQ(ref->Read(buffer.data(), 4), kFileClosed);
        EXPECT_EQ(buffer, Text("...."));
        EXPECT_EQ(ref->Write(Text("XXXX").data(), 4), kFileClosed);
        EXPECT_EQ(ref->Lock(1), kFileClosed);
        EXPECT_EQ(ref->Unlock(), kFileClosed);
        EXPECT_EQ(ref->Sync(), kFileClosed);
        EXPECT_EQ(ref->IsOpend(), kFileClosed);
        EXPECT_EQ(ref->CloseDF(), kNoErr);
        EXPECT_EQ(ref->openFlag, 0);
    }
    EXPECT_EQ(ReadWholeFile(dir.File("doc")), Text("data"));
    ASSERT_EQ(flagged->OpenDF(kOpenRead), kNoErr);  // the stale flag does not block an open
    EXPECT_NE(flagged->stream, nullptr);
    EXPECT_EQ(flagged->CloseDF(), kNoErr);
}

TEST_F(FileRefTest, DestroyingAnOpenReferenceKeepsItsWrites) {
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenCreate), kNoErr);
    ASSERT_EQ(ref->Write(Text("buffered").data(), 8), kNoErr);
    EXPECT_EQ(ref->Kill(), kNoErr);  // does not close
    EXPECT_EQ(ref->IsOpend(), kNoErr);
    ref.reset();
    EXPECT_EQ(ReadWholeFile(dir.File("doc")), Text("buffered"));
}

TEST_F(FileRefTest, LockAndSyncOnAnOpenFile) {
    auto ref = Ref("doc");
    ASSERT_EQ(ref->OpenDF(kOpenCreate), kNoErr);
    EXPECT_EQ(ref->Lock(1), kNoErr);
    ASSERT_EQ(ref->Write(Text("synced").data(), 6), kNoErr);
    EXPECT_EQ(ref->Sync(), kNoErr);
    EXPECT_EQ(ReadWholeFile(dir.File("doc")), Text("synced"));  // before the close
    EXPECT_EQ(ref->Unlock(), kNoErr);
    EXPECT_EQ(ref->Lock(0), kNoErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
}

// ---- Exists and Delete ---------------------------------------------------------------------

TEST_F(FileRefTest, ExistsNeedsNoOpenAndChangesNothing) {
    auto ref = Ref("doc");
    EXPECT_EQ(ref->Exists(), kOtherErr);
    ASSERT_EQ(ref->OpenDF(kOpenCreate), kNoErr);
    FILE* stream = ref->stream;
    EXPECT_EQ(ref->Exists(), kNoErr);
    EXPECT_EQ(ref->stream, stream);
    EXPECT_EQ(ref->IsOpend(), kNoErr);
    EXPECT_EQ(ref->CloseDF(), kNoErr);
    EXPECT_EQ(ref->Exists(), kNoErr);
    EXPECT_EQ(ref->IsOpend(), kFileClosed);
}

TEST_F(FileRefTest, DeleteRemovesAFileAndToleratesAMissingOne) {
    ASSERT_TRUE(WriteWholeFile(dir.File("doc"), Text("x")));
    auto ref = Ref("doc");
    EXPECT_EQ(ref->Delete(), kNoErr);
    EXPECT_FALSE(FileExists("doc"));
    EXPECT_EQ(ref->Exists(), kOtherErr);
    EXPECT_EQ(ref->Delete(), kNoErr);  // nothing left to delete
}

// ---- Paths ---------------------------------------------------------------------------------

TEST_F(FileRefTest, PathWritesAreCheckedAgainstTheField) {
    TypFileRefUnix ref;
    ref.InitCreate(&utils);
    const std::string longest(255, 'p');
    EXPECT_EQ(ref.SetPath(longest.c_str()), kNoErr);
    EXPECT_EQ(std::string(ref.path), longest);
    EXPECT_EQ(ref.AppendPath(""), kNoErr);
    EXPECT_EQ(ref.AppendPath("q"), kOtherErr);
    EXPECT_EQ(std::string(ref.path), longest);

    ASSERT_EQ(ref.SetPath("/k/"), kNoErr);
    EXPECT_EQ(ref.SetPath((longest + "p").c_str()), kOtherErr);
    EXPECT_EQ(ref.SetPath(nullptr), kOtherErr);
    EXPECT_EQ(ref.AppendPath(nullptr), kOtherErr);
    EXPECT_STREQ(ref.path, "/k/");
    EXPECT_EQ(ref.AppendPath("Clefs/"), kNoErr);
    EXPECT_EQ(ref.AppendPath(std::string(255 - 9, 'n').c_str()), kNoErr);
    EXPECT_EQ(strlen(ref.path), 255u);
    EXPECT_EQ(ref.AppendPath("n"), kOtherErr);
    EXPECT_EQ(strlen(ref.path), 255u);
    EXPECT_EQ(ref.AppendPath(ref.path), kOtherErr);

    ASSERT_EQ(ref.SetPath("ab"), kNoErr);
    EXPECT_EQ(ref.AppendPath(ref.path), kNoErr);  // appending the path to itself
    EXPECT_STREQ(ref.path, "abab");
}

TEST_F(FileRefTest, UnterminatedPathFieldIsRefused) {
    // A creator that filled the whole field directly, leaving no terminator.
    TypFileRefUnix ref;
    ref.InitCreate(&utils);
    memset(ref.path, 'a', sizeof ref.path);
    EXPECT_EQ(ref.OpenDF(kOpenCreate), kOtherErr);
    EXPECT_EQ(ref.IsOpend(), kFileClosed);
    EXPECT_EQ(ref.Exists(), kOtherErr);
    EXPECT_EQ(ref.Delete(), kOtherErr);
    EXPECT_EQ(ref.AppendPath("b"), kOtherErr);
    EXPECT_EQ(ref.SetPath("ok"), kNoErr);
}

// ---- Platform codes ------------------------------------------------------------------------

TEST(MacOStoPrivateError, MapsOnlyNotFoundAndSuccessThrough) {
    TypFileRefUnix ref;
    const struct {
        int16_t platform;
        int32_t result;
    } cases[] = {{-43, kFNFErr},  {0, kNoErr},     {5, kOtherErr},         {-1, kOtherErr},
                 {-2, kOtherErr}, {43, kOtherErr}, {INT16_MAX, kOtherErr}, {INT16_MIN, kOtherErr}};
    for (const auto& row : cases) {
        EXPECT_EQ(ref.MacOStoPrivateError(row.platform), row.result) << row.platform;
    }
}

}  // namespace
