// The mail reader and writer on GMime come from a module loaded by the runs that read or write
// a mail. A copy of the tool with a broken module beside it shows both sides: the mail runs end
// with one line and spend nothing, every other run goes on without the module.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "shell/ToolRun.h"
#include "support/TempDir.h"

namespace {

using testsupport::TempDir;
using toolrun::ReadText;

class ToolMailModule : public ::testing::Test {
  protected:
    void SetUp() override {
        toolrun::MakeKeys(folder_);
        std::filesystem::create_directory(folder_.File("bin"));
        std::filesystem::copy_file(toolrun::kTool, folder_.File("bin/veldoran-tool"));
        ASSERT_TRUE(toolrun::WriteText(folder_.File("bin/veldoran-mail.so"), "not a module\n"));
        ASSERT_TRUE(toolrun::WriteText(folder_.File("mail.eml"),
                                       "From: anne@example.org\nTo: paul@example.org\n"
                                       "Subject: Plans\n\nDear Paul\n"));
    }

    // The copy run in the folder with arguments after "bin/veldoran-tool" and its standard
    // input from mail.eml; its exit status, its standard error in err.
    int Run(const std::string& arguments, std::string* err) {
        const std::string command = "cd '" + folder_.path() + "' && " +
                                    toolrun::OwnHomeAssignments(folder_.File("state")) +
                                    "bin/veldoran-tool " + arguments + " < mail.eml > out 2> err";
        const int status = std::system(command.c_str());
        *err = ReadText(folder_.File("err"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Keys() {
        return ReadText(folder_.File(toolrun::kMasterPath)) +
               ReadText(folder_.File(toolrun::kUserPath));
    }

    TempDir folder_;
};

TEST_F(ToolMailModule, MailRunsThatCannotLoadItSayWhyAndSpendNothing) {
    struct Case {
        const char* arguments;
        const char* errorHas;
    };
    const Case cases[] = {
        {"decrypt mail.eml -k keys", "the mail reader cannot be loaded"},
        {"decrypt -k keys", "the mail reader cannot be loaded"},
        {"open mail.eml -k keys -C opened", "the mail reader cannot be loaded"},
        {"sendmail -u dupont -k keys -- /bin/cat", "nothing encrypted, nothing sent"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.arguments);
        const std::string keys = Keys();
        std::string err;
        EXPECT_NE(Run(testCase.arguments, &err), 0);
        EXPECT_NE(err.find(testCase.errorHas), std::string::npos) << err;
        EXPECT_NE(err.find("veldoran-mail.so"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(ReadText(folder_.File("out")), "");
        EXPECT_FALSE(std::filesystem::exists(folder_.File("opened")));
        EXPECT_TRUE(Keys() == keys) << "key material spent";
    }
}

TEST_F(ToolMailModule, EveryOtherRunGoesOnWithoutIt) {
    std::string err;
    ASSERT_EQ(Run("encrypt -u dupont -k keys --to paul -o letter.msg", &err), 0) << err;
    ASSERT_EQ(Run("decrypt -k keys -o letter.txt letter.msg", &err), 0) << err;
    EXPECT_EQ(ReadText(folder_.File("letter.txt")), ReadText(folder_.File("mail.eml")));
}

// Where the system does not say where the program's file is (no /proc), the module is never
// looked for from the working folder, where anyone may have put a file of that name: here run
// from work/, with a file planted where the installed module's path, taken from work/, leads.
TEST_F(ToolMailModule, IsNeverTakenFromTheWorkingFolder) {
    const std::string withoutProc =
        "unshare -m sh -c 'mount -t tmpfs none /proc && exec \"$0\" \"$@\"' ";
    // A sanitizer's runtime, for one, cannot run without /proc.
    const std::string probe =
        withoutProc + "'" + folder_.File("bin/veldoran-tool") + "' --version >/dev/null 2>&1";
    if (geteuid() != 0 || std::system(probe.c_str()) != 0) {
        GTEST_SKIP() << "the tool cannot be run without /proc here (needs root, unshare, and a "
                        "build without sanitizers)";
    }
    std::filesystem::create_directories(folder_.File("work"));
    std::filesystem::create_directories(folder_.File("lib/veldoran"));
    ASSERT_TRUE(toolrun::WriteText(folder_.File("lib/veldoran/veldoran-mail.so"), "planted\n"));
    const std::string command = "cd '" + folder_.File("work") + "' && " +
                                toolrun::OwnHomeAssignments(folder_.File("state")) + withoutProc +
                                "../bin/veldoran-tool decrypt ../mail.eml -k ../keys > ../out "
                                "2> ../err";
    const int status = std::system(command.c_str());
    const std::string err = ReadText(folder_.File("err"));
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 255);
    EXPECT_NE(err.find("own folder cannot be found"), std::string::npos) << err;
    EXPECT_EQ(err.find("too short"), std::string::npos) << err;
}

}  // namespace
