// File references and file permissions. Root ignores permissions, so each case runs in a child
// that has become user nobody; the child first proves that the permission really stands in its
// way (otherwise the case would pass without testing anything) and reports through its exit
// status which check failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "support/ChildProcess.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

// Exit statuses of the child besides 0 (every check held).
enum ChildStatus {
    kPreconditionFailed = 20,  // the permission does not hold for the child: nothing is tested
    kCheckFailed = 30          // plus the number of the failing check
};

class FileRefPermissionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The temporary folder is private to its creator; the child needs to reach into it.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    }

    // A folder inside the temporary one with the given permissions.
    std::string Folder(const std::string& name, mode_t mode) {
        const std::string folder = dir.File(name) + "/";
        EXPECT_EQ(mkdir(folder.c_str(), 0700), 0);
        EXPECT_EQ(chmod(folder.c_str(), mode), 0);
        return folder;
    }

    std::string File(const std::string& folder, const std::string& name, mode_t mode) {
        const std::string path = folder + name;
        EXPECT_TRUE(testsupport::WriteWholeFile(path, {'k', 'e', 'y'}));
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    // Runs body as nobody and turns its exit status into the test's verdict.
    void ExpectInChild(const std::function<int()>& body) {
        const int status = testsupport::RunAsUnprivileged(body);
        if (status == testsupport::kCannotDropPrivileges) {
            GTEST_SKIP() << "cannot become an unprivileged user here";
        }
        ASSERT_NE(status, kPreconditionFailed) << "the permission does not hold for the child";
        EXPECT_EQ(status, 0) << (status > kCheckFailed
                                     ? "check " + std::to_string(status - kCheckFailed) + " failed"
                                     : "the child did not finish");
    }

    testsupport::TempDir dir;
};

bool Denied(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    return errno == EACCES;
}

bool Allowed(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

// Runs the checks in order; the status names the first that fails.
int Checks(std::initializer_list<std::function<bool()>> checks) {
    int number = 0;
    for (const auto& check : checks) {
        ++number;
        if (!check()) {
            return kCheckFailed + number;
        }
    }
    return 0;
}

TEST_F(FileRefPermissionTest, ReadOnlyFileOpensForReadingOnly) {
    const std::string folder = Folder("keys", 0777);
    const std::string path = File(folder, "Master.126", 0444);
    ExpectInChild([&]() {
        if (!Denied(path, O_RDWR) || !Allowed(path, O_RDONLY) || access(folder.c_str(), W_OK)) {
            return static_cast<int>(kPreconditionFailed);
        }
        TypUtilsUnix utils;
        utils.InitCreate(nullptr);
        TypFileRefUnix ref;
        ref.InitCreate(&utils);
        ref.SetPath(path.c_str());
        unsigned char bytes[3] = {};
        return Checks({
            [&] { return ref.OpenDF(kOpenUpdate) == kOtherErr; },  // although only reading
            [&] { return ref.IsOpend() == kFileClosed; },
            [&] { return ref.Exists() == kNoErr; },
            [&] { return ref.OpenDF(kOpenRead) == kNoErr; },
            [&] { return ref.Read(bytes, 3) == kNoErr && bytes[0] == 'k' && bytes[2] == 'y'; },
            [&] { return ref.CloseDF() == kNoErr; },
            // Cannot be opened for update, so counts as nothing to delete, and stays.
            [&] { return ref.Delete() == kNoErr; },
            [&] { return access(path.c_str(), F_OK) == 0; },
        });
    });
    EXPECT_EQ(testsupport::ReadWholeFile(path).size(), 3u);
}

TEST_F(FileRefPermissionTest, UnreadableFileDoesNotExistForTheReader) {
    const std::string folder = Folder("keys", 0777);
    const std::string path = File(folder, "Dupont.126", 0222);
    ExpectInChild([&]() {
        if (!Denied(path, O_RDONLY) || !Allowed(path, O_WRONLY)) {
            return static_cast<int>(kPreconditionFailed);
        }
        TypFileRefUnix ref;
        ref.InitCreate(nullptr);
        ref.SetPath(path.c_str());
        return Checks({
            [&] { return ref.Exists() == kOtherErr; },
            [&] { return ref.OpenDF(kOpenRead) == kOtherErr; },
            [&] { return ref.OpenDF(kOpenUpdate) == kOtherErr; },
            [&] { return ref.IsOpend() == kFileClosed; },
        });
    });
}

TEST_F(FileRefPermissionTest, CreateFailsInAFolderWithoutWritePermission) {
    const std::string folder = Folder("out", 0555);
    const std::string path = folder + "letter.vlx";
    ExpectInChild([&]() {
        if (access(folder.c_str(), W_OK) == 0 || errno != EACCES) {
            return static_cast<int>(kPreconditionFailed);
        }
        TypFileRefUnix ref;
        ref.InitCreate(nullptr);
        ref.SetPath(path.c_str());
        return Checks({
            [&] { return ref.OpenDF(kOpenCreate) == kOtherErr; },
            [&] { return ref.IsOpend() == kFileClosed; },
            [&] { return access(path.c_str(), F_OK) != 0; },
        });
    });
}

TEST_F(FileRefPermissionTest, DeleteReportsAFileItCannotRemove) {
    // Writable file in a folder the child cannot change: the removal itself fails.
    const std::string folder = Folder("locked", 0777);
    const std::string path = File(folder, "doc", 0666);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    ExpectInChild([&]() {
        if (!Allowed(path, O_RDWR) || access(folder.c_str(), W_OK) == 0) {
            return static_cast<int>(kPreconditionFailed);
        }
        TypFileRefUnix ref;
        ref.InitCreate(nullptr);
        ref.SetPath(path.c_str());
        return Checks({
            [&] { return ref.Delete() == kOtherErr; },
            [&] { return access(path.c_str(), F_OK) == 0; },
        });
    });
}

}  // namespace
