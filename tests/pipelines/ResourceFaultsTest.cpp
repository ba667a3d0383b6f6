// Resource faults across the pipelines, one table per fault: a file-size limit, a full file
// system (a small tmpfs in a private mount namespace) and folders an unprivileged user may not
// write. Each pipeline must give its failure code, lose no file, leave no temporary file and
// spend no key. Faults already covered beside a pipeline's own tests (the encryption's size
// limit, the allocation failures of every text pipeline) are not repeated here.
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Files = std::map<std::string, Bytes>;

// A folder holding all a pipeline needs: the key folder keys/ (master and user key), a
// document letter.txt, its message letter.msg and its binary encryption letter.vlb, and old
// targets for every direction.
struct Scene {
    std::string folder;  // ends with '/'
    std::string keyFolder;
    std::string letter;
    std::string message;
    std::string encryptTarget;  // an earlier message
    std::string decryptTarget;  // letter.msg.txt, an earlier document
    std::string binaryMessage;  // letter.vlb
    std::string binaryTarget;   // letter, the name its decryption writes
};

// Writes the scene into folder (which exists); false when any step fails.
bool MakeScene(const std::string& folder, Scene* scene) {
    scene->folder = folder;
    scene->keyFolder = folder + "keys/";
    scene->letter = folder + "letter.txt";
    scene->message = folder + "letter.msg";
    scene->encryptTarget = folder + "out.msg";
    scene->decryptTarget = scene->message + ".txt";
    scene->binaryMessage = folder + "letter.vlb";
    scene->binaryTarget = folder + "letter";
    std::error_code error;
    std::filesystem::create_directories(scene->keyFolder + "Clefs", error);
    if (error) {
        return false;
    }
    const std::string year = testsupport::CurrentYearText();
    testsupport::KeyFileContents key;
    key.year = testsupport::CurrentFullYear();
    key.keyOffset = 7;
    key.name = "Master";
    key.material = testsupport::RandomBytes(50000, 61);
    bool ok = testsupport::WriteKeyFile(scene->keyFolder + "Clefs/Master." + year, key);
    key.name = "dupont";
    key.material = testsupport::RandomBytes(50000, 62);
    ok = ok && testsupport::WriteKeyFile(scene->keyFolder + "Clefs/dupont." + year, key);
    Bytes letter = testsupport::RandomBytes(20000, 63);
    for (unsigned char& byte : letter) {
        byte = static_cast<unsigned char>('a' + byte % 26);
    }
    ok = ok && testsupport::WriteWholeFile(scene->letter, letter);
    ok = ok && crypter3(scene->letter.c_str(), scene->message.c_str(), "dupont",
                        scene->keyFolder.c_str(), "durand", "", "", 0) == kNoErr;
    const std::string previous = "previous\n";
    ok = ok &&
         testsupport::WriteWholeFile(scene->encryptTarget, Bytes(previous.begin(), previous.end()));
    ok = ok &&
         testsupport::WriteWholeFile(scene->decryptTarget, Bytes(previous.begin(), previous.end()));
    return ok;
}

// Every file under folder with its bytes: what a failed run must leave exactly as it was.
Files Snapshot(const std::string& folder) {
    Files files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[entry.path().string()] = testsupport::ReadWholeFile(entry.path().string());
        } else {
            files[entry.path().string() + "/"] = {};
        }
    }
    return files;
}

struct PipelineRun {
    const char* name;
    std::function<int32_t(const Scene&)> run;
};

// Every pipeline that writes a file, each run on the scene.
std::vector<PipelineRun> FilePipelines() {
    return {
        {"crypter3",
         [](const Scene& scene) {
             return crypter3(scene.letter.c_str(), scene.encryptTarget.c_str(), "dupont",
                             scene.keyFolder.c_str(), "durand", "", "", 0);
         }},
        {"decrypter2",
         [](const Scene& scene) {
             return decrypter2(scene.message.c_str(), scene.keyFolder.c_str(), 0);
         }},
        {"crypterbinaire2",
         [](const Scene& scene) {
             return crypterbinaire2(scene.letter.c_str(), scene.encryptTarget.c_str(), "dupont",
                                    scene.keyFolder.c_str(), 0);
         }},
        {"decrypterbinaire",
         [](const Scene& scene) {
             return decrypterbinaire(scene.binaryMessage.c_str(), scene.keyFolder.c_str(), 0);
         }},
    };
}

// Status of a child whose run gave result: 0 when it is expected and the scene is as it was,
// else a number that says what went wrong.
int CheckedRun(const PipelineRun& pipeline, const Scene& scene, int32_t expected) {
    const Files before = Snapshot(scene.folder);
    const int32_t result = pipeline.run(scene);
    if (result != expected) {
        fprintf(stderr, "%s: result %d, expected %d\n", pipeline.name, result, expected);
        return 1;
    }
    if (Snapshot(scene.folder) != before) {
        fprintf(stderr, "%s: a file changed, appeared or went\n", pipeline.name);
        return 2;
    }
    return 0;
}

// A target beyond the process's file-size limit (the limit's signal at its default, which would
// kill the process): refused before a byte of it or of a key is written.
TEST(ResourceFaults, AFileSizeLimit) {
    testsupport::TempDir tmp;
    Scene scene;
    ASSERT_TRUE(MakeScene(tmp.path(), &scene));
    for (const PipelineRun& pipeline : FilePipelines()) {
        if (std::string(pipeline.name) == "crypter3") {
            continue;  // TextEncryption.TheFileSizeLimitIsCheckedBeforeAnyKeyIsUsed
        }
        SCOPED_TRACE(pipeline.name);
        const int status = testsupport::RunInChild([&]() {
            signal(SIGXFSZ, SIG_DFL);
            const struct rlimit limit = {4096, 4096};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                return 100;
            }
            return CheckedRun(pipeline, scene, kOtherErr);
        });
        EXPECT_EQ(status, 0);
    }
}

// The scene on a 1 MiB tmpfs filled up to its last byte, in a mount namespace of the child's own
// (the mount ends with the child). Skipped where no namespace or tmpfs can be made.
constexpr int kCannotMount = 78;

TEST(ResourceFaults, AFullFileSystem) {
    testsupport::TempDir tmp;
    const std::string mountPoint = tmp.File("full/");
    ASSERT_TRUE(std::filesystem::create_directory(mountPoint));
    for (const PipelineRun& pipeline : FilePipelines()) {
        SCOPED_TRACE(pipeline.name);
        const int status = testsupport::RunInChild([&]() {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
                return kCannotMount;
            }
            Scene scene;
            if (!MakeScene(mountPoint, &scene)) {
                return 101;
            }
            FILE* filler = fopen((mountPoint + "filler").c_str(), "wb");
            if (filler == nullptr) {
                return 102;
            }
            setvbuf(filler, nullptr, _IONBF, 0);
            const std::vector<char> page(4096, 'f');
            while (fwrite(page.data(), 1, page.size(), filler) == page.size()) {
            }
            while (fputc('f', filler) != EOF) {
            }
            fclose(filler);
            return CheckedRun(pipeline, scene, kOtherErr);
        });
        if (status == kCannotMount) {
            GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
        }
        EXPECT_EQ(status, 0);
    }
    // The namespace went with the child: nothing is mounted here any more.
    struct stat folder {};
    struct stat parent {};
    ASSERT_EQ(stat(mountPoint.c_str(), &folder), 0);
    ASSERT_EQ(stat(tmp.path().c_str(), &parent), 0);
    EXPECT_EQ(folder.st_dev, parent.st_dev);
}

// Run as nobody: the folder of the target, or the key files, may not be written. The scene is
// made by root, then opened up just enough for nobody to read it and use the keys.
TEST(ResourceFaults, FoldersAndKeysAnUnprivilegedUserMayNotWrite) {
    testsupport::TempDir tmp;
    Scene scene;
    ASSERT_TRUE(MakeScene(tmp.path(), &scene));
    namespace fs = std::filesystem;
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    for (const auto& entry : fs::recursive_directory_iterator(scene.keyFolder)) {
        fs::permissions(entry.path(), entry.is_directory()
                                          ? fs::perms::all
                                          : fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::group_write |
                                                fs::perms::others_read | fs::perms::others_write);
    }
    fs::permissions(scene.keyFolder, fs::perms::all);
    const std::string year = testsupport::CurrentYearText();
    const std::string userKey = scene.keyFolder + "Clefs/dupont." + year;

    struct Case {
        const char* label;
        PipelineRun pipeline;
        std::function<void()> prepare;
        int32_t result;
    };
    const auto readOnlyUserKey = [&] {
        fs::permissions(userKey,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    };
    const auto writableUserKey = [&] {
        fs::permissions(userKey, fs::perms::owner_read | fs::perms::owner_write |
                                     fs::perms::group_read | fs::perms::group_write |
                                     fs::perms::others_read | fs::perms::others_write);
    };
    std::vector<Case> cases;
    // Every file pipeline writes its target beside the others in the scene's folder.
    for (const PipelineRun& pipeline : FilePipelines()) {
        cases.push_back({"the target's folder", pipeline, writableUserKey, kOtherErr});
    }
    const std::vector<Case> memoryCases = {
        {"the user key (memory)",
         {"crypterMem3",
          [](const Scene& s) {
              char* out = nullptr;
              const int32_t result = crypterMem3("lettre\n", &out, "dupont", s.keyFolder.c_str(),
                                                 "durand", "", "", "");
              free(out);
              return result;
          }},
         readOnlyUserKey,
         kOtherErr},
        // Decrypting only reads: neither a locked folder nor read-only keys stand in its way.
        {"nothing needed (memory decryption)",
         {"decrypterMem3",
          [](const Scene& s) {
              const Bytes message = testsupport::ReadWholeFile(s.message);
              const std::string text(message.begin(), message.end());
              char* document = nullptr;
              char* tail = nullptr;
              const int32_t result =
                  decrypterMem3(text.c_str(), &document, s.keyFolder.c_str(), &tail);
              free(document);
              free(tail);
              return result;
          }},
         readOnlyUserKey,
         kNoErr},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.pipeline.name) + ", may not write " + testCase.label);
        testCase.prepare();
        const int status = testsupport::RunAsUnprivileged(
            [&]() { return CheckedRun(testCase.pipeline, scene, testCase.result); });
        if (status == testsupport::kCannotDropPrivileges) {
            GTEST_SKIP() << "cannot run as an unprivileged user here";
        }
        EXPECT_EQ(status, 0);
    }
}

}  // namespace
