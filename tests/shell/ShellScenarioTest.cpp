// The veldoran program run as a user runs it: an argument vector in, the exact standard output,
// standard error and exit status out, in a fresh working folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;

const std::string kProgram = VELDORAN_PROGRAM;

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

std::string ReadText(const std::string& path) {
    const std::vector<unsigned char> bytes = testsupport::ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs the program with argv[0] = its path and the given arguments, in folder.
RunResult RunProgram(const std::string& folder, const std::vector<std::string>& arguments) {
    const std::string outPath = folder + ".stdout";
    const std::string errPath = folder + ".stderr";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kProgram.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        execv(kProgram.c_str(), argv.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return result;
}

// A key file of the current year under <folder>Clefs/.
void MakeKey(const std::string& folder, const std::string& name, size_t materialLength) {
    ASSERT_FALSE(testsupport::WriteCurrentYearKey(folder, name, materialLength).empty());
}

std::string Illegal(char letter) {
    return "\n" + kProgram + ": illegal option -- " + letter;
}

const std::string kWrong = "\nWrong choice\n";

struct Scenario {
    const char* label;
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
    int status;
};

// Runs without key files: every run that reaches the encryption fails on the missing source
// (255 for -1) or, with a source present, on the missing master key (213 for -43).
TEST(ShellScenarios, OptionParsing) {
    const std::vector<Scenario> scenarios = {
        {"no argument prints the usage",
         {},
         "Veldoran : cryptage de documents texte pour transit en corps d'email\n"
         "Veldoran Shell - version 1.01\n"
         "usage : veldoran -s fichiersource -o fichierarrivee -u utilisateur [-k cheminclefs] "
         "-d destinataires\n",
         "",
         0},
        {"a non-option word is echoed, the empty source fails", {"foo"}, "\nfoo\n", "", 255},
        {"an unknown letter", {"-v"}, kWrong, Illegal('v'), 255},
        {"a lone dash counts as an argument", {"-"}, "", "", 255},
        {"a colon is a letter without value", {"-:"}, "", "", 255},
        {"a value beginning with a dash is refused",
         {"-s", "-u", "dupont"},
         kWrong + "\ndupont\n",
         Illegal('s'),
         255},
        // s refuses its attached value; reading goes on in the same argument after the s, so
        // -udupont sets the user.
        {"an attached value beginning with a dash is refused",
         {"-s-udupont", "-sletter.txt", "-o", "out.msg"},
         kWrong,
         Illegal('s'),
         213},
        // x is refused, then s refuses -u; the position after s lies past the end of -u.
        {"a refused value after a group",
         {"-xs", "-u", "dupont"},
         kWrong + kWrong + "\ndupont\n",
         Illegal('x') + Illegal('s'),
         255},
        {"a value missing at the end",
         {"-o", "out.msg", "-s"},
         kWrong,
         "\n" + kProgram + ": option requires an argument -- s",
         255},
        {"a grouped unknown letter, then s takes the next argument",
         {"-xs", "letter.txt", "-o", "out.msg"},
         kWrong,
         Illegal('x'),
         213},
        {"a value attached to its letter", {"-sletter.txt", "-oout.msg"}, "", "", 213},
        {"the last occurrence wins",
         {"-s", "none.txt", "-s", "letter.txt", "-o", "x"},
         "",
         "",
         213},
        {"the first occurrence alone is missing",
         {"-s", "letter.txt", "-s", "none.txt"},
         "",
         "",
         255},
        {"options after a non-option word are read",
         {"word", "-s", "letter.txt", "-o", "x"},
         "\nword\n",
         "",
         213},
        {"a double dash is an unknown letter", {"--"}, kWrong, Illegal('-'), 255},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.label);
        TempDir folder;
        testsupport::WriteWholeFile(folder.File("letter.txt"), {'a', 'b', '\n'});
        const RunResult result = RunProgram(folder.path(), scenario.arguments);
        EXPECT_EQ(result.out, scenario.out);
        EXPECT_EQ(result.err, scenario.err);
        EXPECT_EQ(result.status, scenario.status);
    }
}

TEST(ShellScenarios, NoArgumentTouchesNoFile) {
    TempDir folder;
    RunProgram(folder.path(), {});
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

// Values of any length are handed on whole; paths that do not fit a file reference are
// refused before any key file is used.
TEST(ShellScenarios, LongValuesAreNeitherCutNorOverrun) {
    TempDir folder;
    MakeKey(folder.path(), "Master", 4096);
    MakeKey(folder.path(), "dupont", 4096);
    testsupport::WriteWholeFile(folder.File("letter.txt"), {'a', '\n'});
    const std::string masterPath = folder.File("Clefs/Master." + testsupport::CurrentYearText());
    const std::vector<unsigned char> masterBefore = testsupport::ReadWholeFile(masterPath);

    const std::string longName(5000, 'n');
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"source", {"-s", longName, "-o", "out.msg", "-u", "dupont", "-d", "a"}},
        {"target", {"-s", "letter.txt", "-o", longName, "-u", "dupont", "-d", "a"}},
        {"user", {"-s", "letter.txt", "-o", "out.msg", "-u", longName, "-d", "a"}},
        {"key folder", {"-s", "letter.txt", "-o", "out.msg", "-u", "dupont", "-k", longName + "/"}},
        {"attached", {"-s" + longName, "-o", "out.msg", "-u", "dupont"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const RunResult result = RunProgram(folder.path(), testCase.arguments);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(testsupport::ReadWholeFile(masterPath), masterBefore);
        EXPECT_FALSE(std::filesystem::exists(folder.File("out.msg")));
    }
}

TEST(ShellScenarios, EncryptsWithKeysInTheWorkingFolder) {
    TempDir folder;
    MakeKey(folder.path(), "Master", 4096);
    MakeKey(folder.path(), "dupont", 4096);
    testsupport::WriteWholeFile(folder.File("letter.txt"),
                                {'B', 'o', 'n', 'j', 'o', 'u', 'r', '\n'});
    const std::string recipients(12000, 'r');  // longer than any fixed option buffer

    const RunResult result = RunProgram(
        folder.path(), {"-s", "letter.txt", "-o", "letter.msg", "-u", "dupont", "-d", recipients});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const std::string message = ReadText(folder.File("letter.msg"));
    const std::string year = testsupport::CurrentYearText();
    EXPECT_EQ(message.rfind("$VELDORAN initial, clef v1 Master." + year +
                                " MID 1\n"
                                "$VELDORAN initial, clef v1 dupont." +
                                year + " MID 1\n\n#BINASCII1#\n",
                            0),
              0u);

    testsupport::KeyHeaderFields master;
    ASSERT_TRUE(testsupport::ReadKeyHeader(folder.File("Clefs/Master." + year), &master));
    // Document, recipient block with the whole list, and the two commas and markers.
    EXPECT_EQ(master.keyOffset, static_cast<int32_t>(8 + 11 + recipients.size() + 2 + 9) % 4096);
}

// A pipe as target whose reader goes away while the message is written: a write error with
// status 255, never the end by SIGPIPE.
TEST(ShellScenarios, AReaderThatGoesAwayIsAWriteError) {
    TempDir folder;
    MakeKey(folder.path(), "Master", 4096);
    MakeKey(folder.path(), "dupont", 4096);
    testsupport::WriteWholeFile(folder.File("letter.txt"),
                                std::vector<unsigned char>(1u << 20, 'a'));
    ASSERT_EQ(mkfifo(folder.File("pipe").c_str(), 0600), 0);
    const int reader = open(folder.File("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    const std::string outPath = folder.path() + ".stdout";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || chdir(folder.path().c_str()) != 0) {
            _exit(127);
        }
        execl(kProgram.c_str(), kProgram.c_str(), "-s", "letter.txt", "-o", "pipe", "-u", "dupont",
              "-d", "a", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Once the pipe is full the program waits in a write; the reader then goes.
    int buffered = 0;
    while (ioctl(reader, FIONREAD, &buffered) == 0 && buffered < 4096 &&
           waitpid(child, nullptr, WNOHANG) == 0) {
        usleep(1000);
    }
    close(reader);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 255);
    std::filesystem::remove(outPath);
}

TEST(ShellScenarios, KeyFolderOption) {
    TempDir folder;
    MakeKey(folder.File("k/"), "Master", 4096);
    MakeKey(folder.File("k/"), "dupont", 4096);
    testsupport::WriteWholeFile(folder.File("letter.txt"), {'x'});

    // The key path is a plain prefix: without its slash the key files are not found.
    RunResult result = RunProgram(
        folder.path(), {"-s", "letter.txt", "-o", "m", "-u", "dupont", "-k", "k", "-d", "a"});
    EXPECT_EQ(result.status, 213);
    EXPECT_FALSE(std::filesystem::exists(folder.File("m")));

    result = RunProgram(folder.path(),
                        {"-s", "letter.txt", "-o", "m", "-u", "dupont", "-k", "k/", "-d", "a"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(std::filesystem::exists(folder.File("m")));
}

// Runs that fail spend no key material: the exit status names the cause, both key files stay
// byte for byte as they were and the folder holds nothing new.
TEST(ShellScenarios, FailedRunsLeaveTheKeyFilesAlone) {
    TempDir folder;
    MakeKey(folder.File("K/"), "Master", 4096);
    MakeKey(folder.File("K/"), "alice", 4096);
    testsupport::WriteWholeFile(folder.File("s.txt"), {'h', 'i', '\n'});
    testsupport::WriteWholeFile(folder.File("marked.txt"),
                                {'#', 'D', 'E', 'S', 'T', 'B', 'E', 'G', 'I', 'N', '#'});
    const std::string year = testsupport::CurrentYearText();
    const std::string master = folder.File("K/Clefs/Master." + year);
    const std::string alice = folder.File("K/Clefs/alice." + year);
    const auto masterBefore = testsupport::ReadWholeFile(master);
    const auto aliceBefore = testsupport::ReadWholeFile(alice);
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {"target is the user key",
         {"-s", "s.txt", "-o", "K/Clefs/alice." + year, "-u", "alice", "-k", "K/", "-d", "bob"},
         255},
        {"target is the master key",
         {"-s", "s.txt", "-o", "K/Clefs/Master." + year, "-u", "alice", "-k", "K/", "-d", "bob"},
         255},
        {"no such user",
         {"-s", "s.txt", "-o", "m", "-u", "nosuchuser", "-k", "K/", "-d", "bob"},
         213},
        {"no user given", {"-s", "s.txt", "-o", "m", "-k", "K/", "-d", "bob"}, 213},
        {"document holds the recipient marker",
         {"-s", "marked.txt", "-o", "m", "-u", "alice", "-k", "K/", "-d", "bob"},
         240},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const RunResult result = RunProgram(folder.path(), testCase.arguments);
        EXPECT_EQ(result.status, testCase.status);
        EXPECT_EQ(testsupport::ReadWholeFile(master), masterBefore);
        EXPECT_EQ(testsupport::ReadWholeFile(alice), aliceBefore);
        EXPECT_FALSE(std::filesystem::exists(folder.File("m")));
    }
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
        entries.insert(entry.path().lexically_relative(folder.path()).string());
    }
    EXPECT_EQ(entries, (std::set<std::string>{"K", "K/Clefs", "K/Clefs/Master." + year,
                                              "K/Clefs/alice." + year, "marked.txt", "s.txt"}));
}

}  // namespace
