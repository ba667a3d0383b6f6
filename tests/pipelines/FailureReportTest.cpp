// The failure report: each failing run names the file that failed by its role, with the errno of
// the failing call (0 when the data was at fault) and the step, recorded where the failure
// happened; the next call starts it afresh, and a call that succeeds leaves it empty.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "MessageFixture.h"
#include "pipelines/BinaryPipelinesCore.h"
#include "pipelines/PipelineUtils.h"
#include "platform/TargetWriter.h"
#include "support/FullDisk.h"

namespace {

using messagetest::ToBytes;
using testsupport::WriteWholeFile;

struct Expected {
    int32_t code;
    VeldoranFailureRole role;
    std::string path;
    int systemError;
    VeldoranFailureStep step;
};

struct Case {
    const char* label;
    // Spoils what the run needs and gives the report it must leave.
    std::function<Expected()> spoil;
    // The run; its result.
    std::function<int32_t()> run;
};

int32_t RefuseUserKey(void*, const VeldoranKeyLayer* layers, uint32_t) {
    return veldoranRefuseKeyUse(&layers[1]);
}

class FailureReport : public messagetest::MessageTest {
  protected:
    void TearDown() override {
        veldoranSetKeyUseHook(nullptr, nullptr);
        veldoranSetKeyJournal(nullptr);
    }

    std::string Source() const { return folder_.File("letter.txt"); }
    std::string Target() const { return folder_.File("letter.vlx"); }

    int32_t EncryptLetter() const {
        return crypter3(Source().c_str(), Target().c_str(), "dupont", keyFolder_.c_str(), "", "",
                        "", 0);
    }

    int32_t DecryptMessage(const std::string& message) const {
        char* document = nullptr;
        const int32_t result = decrypterMem2(message.c_str(), &document, keyFolder_.c_str());
        free(document);
        return result;
    }

    // The binary file pipeline with the target writer's calls replaced, run as an entry
    // function runs it.
    int32_t EncryptBinaryThrough(const veldoran::TargetWriterCalls& calls) const {
        return veldoran::RunWithUtils([&](veldoran::PipelineUtils* utils) {
            return EncryptBinaryFile(utils, &calls, Source().c_str(), Target().c_str(), "dupont",
                                     keyFolder_.c_str(), 0);
        });
    }

    static void ExpectReport(const Expected& expected) {
        VeldoranFailure failure{};
        EXPECT_EQ(veldoranLastFailure(&failure), expected.code);
        EXPECT_EQ(failure.code, expected.code);
        EXPECT_EQ(failure.role, expected.role);
        EXPECT_EQ(std::string(failure.path), expected.path);
        EXPECT_EQ(failure.systemError, expected.systemError) << strerror(failure.systemError);
        EXPECT_EQ(failure.step, expected.step);
    }
};

TEST_F(FailureReport, NamesTheFileThatFailedByItsRole) {
    const std::string message = MakeMessage(ToBytes("hello\n"));
    veldoran::TargetWriterCalls fullWrite = veldoran::TargetWriterCalls::System();
    fullWrite.write = testsupport::FullDiskWrite;
    veldoran::TargetWriterCalls fullReserve = veldoran::TargetWriterCalls::System();
    fullReserve.reserve = testsupport::FullDiskReserve;
    const auto encrypt = [this] { return EncryptLetter(); };
    const auto decrypt = [this, message] { return DecryptMessage(message); };
    const Case cases[] = {
        {"missing source",
         [&] {
             std::filesystem::remove(Source());
             return Expected{kOtherErr, kVeldoranRoleSource, Source(), ENOENT, kVeldoranStepOpen};
         },
         encrypt},
        {"source a folder",
         [&] {
             std::filesystem::remove(Source());
             std::filesystem::create_directory(Source());
             return Expected{kOtherErr, kVeldoranRoleSource, Source(), EISDIR, kVeldoranStepOpen};
         },
         encrypt},
        {"source a pipe",
         [&] {
             std::filesystem::remove(Source());
             EXPECT_EQ(mkfifo(Source().c_str(), 0600), 0);
             return Expected{kOtherErr, kVeldoranRoleSource, Source(), 0, kVeldoranStepOpen};
         },
         encrypt},
        {"missing master key",
         [&] {
             std::filesystem::remove(MasterPath());
             return Expected{kFNFErr, kVeldoranRoleMasterKey, MasterPath(), ENOENT,
                             kVeldoranStepOpen};
         },
         encrypt},
        {"missing user key",
         [&] {
             std::filesystem::remove(UserPath());
             return Expected{kFNFErr, kVeldoranRoleUserKey, UserPath(), ENOENT, kVeldoranStepOpen};
         },
         encrypt},
        {"user key a folder",
         [&] {
             std::filesystem::remove(UserPath());
             std::filesystem::create_directory(UserPath());
             return Expected{kFNFErr, kVeldoranRoleUserKey, UserPath(), EISDIR, kVeldoranStepOpen};
         },
         encrypt},
        {"user key of another version",
         [&] {
             testsupport::KeyFileContents key = user_;
             key.version = 2;
             EXPECT_TRUE(testsupport::WriteKeyFile(UserPath(), key));
             return Expected{kBadKeyHeader, kVeldoranRoleUserKey, UserPath(), 0,
                             kVeldoranStepCheck};
         },
         encrypt},
        {"master key shorter than its header says",
         [&] {
             std::filesystem::resize_file(MasterPath(), 224 + 10);
             return Expected{kOtherErr, kVeldoranRoleMasterKey, MasterPath(), 0,
                             kVeldoranStepCheck};
         },
         encrypt},
        {"user key the master key itself",
         [&] {
             return Expected{kOtherErr, kVeldoranRoleUserKey, MasterPath(), 0, kVeldoranStepCheck};
         },
         [this] {
             return crypter3(Source().c_str(), Target().c_str(), "Master", keyFolder_.c_str(), "",
                             "", "", 0);
         }},
        {"target in a missing folder",
         [&] {
             return Expected{kOtherErr, kVeldoranRoleTarget, folder_.File("none/letter.vlx"),
                             ENOENT, kVeldoranStepOpen};
         },
         [this] {
             return crypter3(Source().c_str(), folder_.File("none/letter.vlx").c_str(), "dupont",
                             keyFolder_.c_str(), "", "", "", 0);
         }},
        {"full disk while written",
         [&] {
             return Expected{kOtherErr, kVeldoranRoleTarget, Target(), ENOSPC, kVeldoranStepWrite};
         },
         [&] { return EncryptBinaryThrough(fullWrite); }},
        {"full disk when room is set aside",
         [&] {
             return Expected{kOtherErr, kVeldoranRoleTarget, Target(), ENOSPC, kVeldoranStepWrite};
         },
         [&] { return EncryptBinaryThrough(fullReserve); }},
        {"journal a folder",
         [&] {
             const std::string journal = folder_.File("journal");
             std::filesystem::create_directory(journal);
             veldoranSetKeyJournal(journal.c_str());
             return Expected{kJournalErr, kVeldoranRoleJournal, journal, EISDIR, kVeldoranStepOpen};
         },
         encrypt},
        {"hook refusing the sender's key",
         [&] {
             veldoranSetKeyUseHook(RefuseUserKey, nullptr);
             return Expected{kKeyUseRefused, kVeldoranRoleUserKey, UserPath(), 0,
                             kVeldoranStepCheck};
         },
         encrypt},
        {"frame key missing",
         [&] {
             std::filesystem::remove(UserPath());
             return Expected{KeyNotFoundErr, kVeldoranRoleFrameKey, UserPath(), ENOENT,
                             kVeldoranStepOpen};
         },
         decrypt},
        {"frame key of another key",
         [&] {
             testsupport::KeyFileContents other = master_;
             other.id = "another-id";
             EXPECT_TRUE(testsupport::WriteKeyFile(MasterPath(), other));
             return Expected{KeyNotFoundErr, kVeldoranRoleFrameKey, MasterPath(), 0,
                             kVeldoranStepCheck};
         },
         decrypt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(UserPath());
        WriteKeys();
        std::filesystem::remove_all(Source());
        std::filesystem::remove_all(Target());
        ASSERT_TRUE(WriteWholeFile(Source(), ToBytes("Dear Sir,\n")));
        const Expected expected = c.spoil();
        EXPECT_EQ(c.run(), expected.code);
        ExpectReport(expected);
        TearDown();
    }
}

// The next call starts afresh: a call that succeeds leaves the report empty.
TEST_F(FailureReport, ASucceedingCallClearsIt) {
    ASSERT_TRUE(WriteWholeFile(Source(), ToBytes("Dear Sir,\n")));
    std::filesystem::rename(UserPath(), folder_.File("away"));
    ASSERT_EQ(EncryptLetter(), kFNFErr);
    std::filesystem::rename(folder_.File("away"), UserPath());
    ASSERT_EQ(EncryptLetter(), kNoErr);
    ExpectReport({kNoErr, kVeldoranRoleNone, "", 0, kVeldoranStepNone});
}

// A call refused for a null argument starts its report too: nothing of the call before stays.
TEST_F(FailureReport, ACallRefusedForANullArgumentReplacesTheLastReport) {
    std::filesystem::remove(UserPath());
    ASSERT_TRUE(WriteWholeFile(Source(), ToBytes("Dear Sir,\n")));
    ASSERT_EQ(EncryptLetter(), kFNFErr);
    EXPECT_EQ(decrypter2(nullptr, keyFolder_.c_str(), 0), kOtherErr);
    ExpectReport({kOtherErr, kVeldoranRoleNone, "", 0, kVeldoranStepNone});
}

// A failure while the run cleans up after the first one does not replace it.
TEST_F(FailureReport, KeepsTheFirstFailureOfARun) {
    veldoran::StartFailureReport();
    veldoran::RecordFailure(kVeldoranRoleUserKey, kFNFErr, "first", kVeldoranStepOpen, ENOENT);
    veldoran::NoteFailure("second", kVeldoranStepWrite, EIO);
    veldoran::RecordFailure(kVeldoranRoleTarget, kOtherErr, "second");
    EXPECT_EQ(veldoran::FinishFailureReport(kFNFErr), kFNFErr);
    ExpectReport({kFNFErr, kVeldoranRoleUserKey, "first", ENOENT, kVeldoranStepOpen});
}

}  // namespace
