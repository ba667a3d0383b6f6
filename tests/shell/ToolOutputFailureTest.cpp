// veldoran-tool when its output fails: a file-size limit, a full device, a closed standard
// output, a pipe nobody reads. Every such run ends with status 255 and one line naming the file
// that failed, never by a signal; where the output is a file, both key files keep every byte
// and no file is left behind. Also what the tool prints that comes from strangers (recipient
// lists, key names from frame headers) and what key show says of files that are not keys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "shell/ToolRun.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "support/Valgrind.h"
#include "veldoran.h"

namespace {

using testsupport::TempDir;
using toolrun::kMasterPath;
using toolrun::kUserPath;
using toolrun::kYear;
using toolrun::ReadText;
using toolrun::WriteText;

// How the child's standard output is set up.
enum class Output {
    kFile,        // a file beside the folder, read back into out
    kClosed,      // descriptor 1 closed
    kReadOnly,    // descriptor 1 open for reading only
    kReaderGone,  // the write end of a pipe whose read end is closed
    kDevFull,     // /dev/full
    kDevNull,     // /dev/null
};

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // the exit status; -1 when the program did not exit
    int signal = 0;   // the signal that ended it, if one did
    long maxResidentKiB = 0;
};

// Writes text, then zeros zero bytes, to fd, and closes it; a reader that goes early ends it.
void FeedPipe(int fd, const std::string& text, uint64_t zeros) {
    const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
    bool open = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const std::vector<char> block(1u << 20, 0);
    while (open && zeros > 0) {
        const ssize_t written = write(fd, block.data(), std::min<uint64_t>(zeros, block.size()));
        open = written > 0;
        zeros -= open ? static_cast<uint64_t>(written) : 0;
    }
    close(fd);
    signal(SIGPIPE, previous);
}

// Runs the tool in folder with input on its standard input, its state in a folder of its own,
// and at most fileSizeLimit bytes per file written (0: no limit). With piped the standard input
// is a pipe instead of a file, which gets input and then zeros zero bytes.
Outcome RunTool(const TempDir& folder, const std::vector<std::string>& arguments,
                const std::string& input = "", Output output = Output::kFile,
                rlim_t fileSizeLimit = 0, bool piped = false, uint64_t zeros = 0) {
    const std::string base = folder.path().substr(0, folder.path().size() - 1);
    const std::string inPath = base + ".stdin";
    const std::string outPath = base + ".stdout";
    const std::string errPath = base + ".stderr";
    const std::string statePath = base + ".state";
    WriteText(inPath, input);
    WriteText(outPath, "");
    std::vector<char*> argv = toolrun::ArgumentVector(arguments);
    int pipeEnds[2] = {-1, -1};
    if (output == Output::kReaderGone) {
        EXPECT_EQ(pipe(pipeEnds), 0);
        close(pipeEnds[0]);
    }
    int inputEnds[2] = {-1, -1};
    if (piped) {
        EXPECT_EQ(pipe2(inputEnds, O_CLOEXEC), 0);
    }

    const pid_t child = fork();
    if (child == 0) {
        const int in = piped ? inputEnds[0] : open(inPath.c_str(), O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int out = -1;
        switch (output) {
            case Output::kFile:
                out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
                break;
            case Output::kClosed:
                break;
            case Output::kReadOnly:
                out = open(outPath.c_str(), O_RDONLY);
                break;
            case Output::kReaderGone:
                out = pipeEnds[1];
                break;
            case Output::kDevFull:
                out = open("/dev/full", O_WRONLY);
                break;
            case Output::kDevNull:
                out = open("/dev/null", O_WRONLY);
                break;
        }
        if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.path().c_str()) != 0 || !toolrun::UseOwnHome(statePath)) {
            _exit(127);
        }
        if (output == Output::kClosed) {
            close(1);
        } else if (out < 0 || dup2(out, 1) < 0) {
            _exit(127);
        }
        if (fileSizeLimit != 0) {
            const rlimit limit = {fileSizeLimit, fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                _exit(127);
            }
        }
        // A run that blocks (on a pipe nobody reads, say) ends by SIGALRM instead of hanging.
        alarm(60);
        execv(toolrun::kTool.c_str(), argv.data());
        _exit(127);
    }
    if (pipeEnds[1] >= 0) {
        close(pipeEnds[1]);
    }
    if (piped) {
        close(inputEnds[0]);
        FeedPipe(inputEnds[1], input, zeros);
    }
    Outcome result;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result.maxResidentKiB = usage.ru_maxrss;
    }
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    for (const std::string& path : {inPath, outPath, errPath}) {
        std::filesystem::remove(path);
    }
    std::filesystem::remove_all(statePath);
    return result;
}

std::string KeyBytes(const TempDir& folder) {
    return ReadText(folder.File(kMasterPath)) + ReadText(folder.File(kUserPath));
}

// Every name in the folder, recursively, to prove a run left nothing behind.
std::set<std::string> Names(const TempDir& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
        names.insert(entry.path().string());
    }
    return names;
}

// A text of about size bytes, lines ending with CR LF when crlf is set.
std::string Document(size_t size, bool crlf) {
    std::string text;
    for (int line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line) + " of the letter" + (crlf ? "\r\n" : "\n");
    }
    return text;
}

const char kTooLarge[] = "cannot be written: File too large\n";

// Outputs that fail on a file: whatever the input (CR LF, a parameter text, the standard input,
// a file as it stands, a container), the one line names the output and the system's reason, and
// both keys keep every byte.
TEST(ToolOutputFailures, AFileThatCannotBeWrittenSpendsNoKey) {
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        std::string input;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"CR LF document",
         {"encrypt", "crlf.txt", "-u", "dupont", "-k", "keys", "-o", "out.vlx"},
         "",
         std::string("veldoran-tool: out.vlx: ") + kTooLarge},
        {"parameter text",
         {"encrypt", "plain.txt", "-u", "dupont", "-k", "keys", "--param", "ref=1"},
         "",
         std::string("veldoran-tool: plain.txt.vlx: ") + kTooLarge},
        {"standard input to a file",
         {"encrypt", "-u", "dupont", "-k", "keys", "-o", "out.vlx"},
         Document(20000, false),
         std::string("veldoran-tool: out.vlx: ") + kTooLarge},
        {"encrypted container",
         {"pack", "-o", "out.vlb", "--encrypt", "-u", "dupont", "-k", "keys", "plain.txt"},
         "",
         std::string("veldoran-tool: out.vlb: ") + kTooLarge},
        {"file to file, streamed",
         {"encrypt", "plain.txt", "-u", "dupont", "-k", "keys", "-o", "out.vlx"},
         "",
         std::string("veldoran-tool: out.vlx: ") + kTooLarge},
        {"binary file, streamed",
         {"encrypt-binary", "plain.txt", "-u", "dupont", "-k", "keys"},
         "",
         std::string("veldoran-tool: plain.txt.vlb: ") + kTooLarge},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        TempDir folder;
        toolrun::MakeKeys(folder);
        WriteText(folder.File("crlf.txt"), Document(20000, true));
        WriteText(folder.File("plain.txt"), Document(20000, false));
        const std::string keysBefore = KeyBytes(folder);
        const std::set<std::string> namesBefore = Names(folder);

        const Outcome run =
            RunTool(folder, testCase.arguments, testCase.input, Output::kFile, 8192);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, testCase.err);
        EXPECT_EQ(KeyBytes(folder), keysBefore);
        EXPECT_EQ(Names(folder), namesBefore);
    }
}

// A decryption past the file-size limit fails with one line and leaves no partial document.
TEST(ToolOutputFailures, ADocumentPastTheFileSizeLimitIsReported) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    WriteText(folder.File("plain.txt"), Document(20000, false));
    ASSERT_EQ(RunTool(folder, {"encrypt", "plain.txt", "-u", "dupont", "-k", "keys"}).status, 0);
    const std::set<std::string> namesBefore = Names(folder);

    const Outcome run =
        RunTool(folder, {"decrypt", "plain.txt.vlx", "-k", "keys", "-o", "back.txt"}, "",
                Output::kFile, 8192);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, std::string("veldoran-tool: back.txt: ") + kTooLarge);
    EXPECT_EQ(Names(folder), namesBefore);
}

// A standard output that cannot take the message is found out before any key is used.
TEST(ToolOutputFailures, AStandardOutputThatCannotBeWrittenSpendsNoKey) {
    struct Case {
        const char* label;
        Output output;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"closed", Output::kClosed, "veldoran-tool: standard output: is closed\n"},
        {"open for reading", Output::kReadOnly,
         "veldoran-tool: standard output: is not open for writing\n"},
        {"a pipe nobody reads", Output::kReaderGone,
         "veldoran-tool: standard output: is a pipe that nobody reads\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        for (const bool crlf : {false, true}) {
            TempDir folder;
            toolrun::MakeKeys(folder);
            const std::string keysBefore = KeyBytes(folder);
            const Outcome run = RunTool(folder, {"encrypt", "-u", "dupont", "-k", "keys"},
                                        Document(3000, crlf), testCase.output);
            EXPECT_EQ(run.signal, 0);
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.err, testCase.err);
            EXPECT_EQ(KeyBytes(folder), keysBefore);
        }
    }
}

// A named pipe given as -o that nobody reads is refused at once, before any key is spent:
// waiting for a reader would hang the run.
TEST(ToolOutputFailures, ANamedPipeNobodyReadsIsRefusedWithoutWaiting) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    ASSERT_EQ(mkfifo(folder.File("pipe").c_str(), 0600), 0);
    ASSERT_TRUE(WriteText(folder.File("letter.txt"), Document(3000, false)));
    const std::string keysBefore = KeyBytes(folder);
    const Outcome run =
        RunTool(folder, {"encrypt", "letter.txt", "-u", "dupont", "-k", "keys", "-o", "pipe"});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "veldoran-tool: pipe: is a pipe that nobody reads\n");
    EXPECT_EQ(KeyBytes(folder), keysBefore);
}

// A device cannot take back what it was given, so the keys are spent before it is written; its
// failure still ends the run with one line and status 255.
TEST(ToolOutputFailures, AFullDeviceIsReportedOnce) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    WriteText(folder.File("plain.txt"), Document(3000, false));
    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        Output output;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"-o /dev/full",
         {"encrypt", "plain.txt", "-u", "dupont", "-k", "keys", "--param", "p", "-o", "/dev/full"},
         Output::kFile,
         "veldoran-tool: /dev/full: cannot be written: No space left on device\n"},
        {"standard output /dev/full",
         {"encrypt", "-u", "dupont", "-k", "keys"},
         Output::kDevFull,
         "veldoran-tool: standard output: cannot be written: No space left on device\n"},
        {"container to /dev/full",
         {"pack", "-o", "/dev/full", "--encrypt", "-u", "dupont", "-k", "keys", "plain.txt"},
         Output::kFile,
         "veldoran-tool: /dev/full: cannot be written: No space left on device\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const Outcome run =
            RunTool(folder, testCase.arguments, Document(3000, false), testCase.output);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, testCase.err);
    }
}

// Writes size bytes (a multiple of 1 MiB) of 1023 x's and a line end, over and over, to path.
bool WriteLinesOfX(const std::string& path, size_t size) {
    std::string chunk;
    while (chunk.size() < (1u << 20)) {
        chunk += std::string(1023, 'x') + "\n";
    }
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file != nullptr;
    for (size_t done = 0; written && done < size; done += chunk.size()) {
        written = fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size();
    }
    return file != nullptr && fclose(file) == 0 && written;
}

// A large file without a message fails as the streaming pipeline found it, without being read
// into memory a second time.
TEST(ToolOutputFailures, ALargeFileWithoutAMessageIsNotReadIntoMemory) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    ASSERT_TRUE(WriteLinesOfX(folder.File("mail.txt"), 96u << 20));
    const Outcome run = RunTool(folder, {"decrypt", "mail.txt", "-k", "keys"});
    EXPECT_EQ(run.err,
              "veldoran-tool: mail.txt: no encrypted message found: no complete #BINASCII1# "
              "armour in it\n");
    EXPECT_EQ(run.status, 252);
    EXPECT_FALSE(std::filesystem::exists(folder.File("mail.txt.txt")));
    // The whole file in memory would take 96 MiB more than the same run on a line of text does.
    // Measured against that run, since a sanitizer's build starts far larger; a child's peak also
    // counts the image it was forked from until its exec, which under valgrind is valgrind's own
    // heap: not measured there.
    if (!testsupport::RunningOnValgrind()) {
        ASSERT_TRUE(toolrun::WriteText(folder.File("line.txt"), "x\n"));
        const Outcome small = RunTool(folder, {"decrypt", "line.txt", "-k", "keys"});
        ASSERT_EQ(small.status, 252);
        EXPECT_LT(run.maxResidentKiB, small.maxResidentKiB + 48 * 1024);
    }
}

// decrypt-binary streams whatever way its input and output take: a 512 MiB frame from a file or
// a pipe, into a file or to the standard output, peaks near the same run on a frame of a few
// bytes (the whole frame in memory would take 512 MiB more). Behind two real headers the frame
// is zeros, a hole in the file: they decrypt to noise, which is all the run needs.
TEST(ToolOutputFailures, ABinaryFileIsDecryptedInConstantMemory) {
    if (testsupport::RunningOnValgrind()) {
        GTEST_SKIP() << "a child's peak counts valgrind's heap until its exec";
    }
    TempDir folder;
    toolrun::MakeKeys(folder);
    ASSERT_TRUE(WriteText(folder.File("small"), "small"));
    ASSERT_EQ(RunTool(folder, {"encrypt-binary", "small", "-u", "dupont", "-k", "keys"}).status, 0);
    const std::string smallFrame = ReadText(folder.File("small.vlb"));
    const std::string headers = smallFrame.substr(0, 448);
    constexpr uint64_t kLarge = uint64_t{512} << 20;
    ASSERT_TRUE(WriteText(folder.File("large.vlb"), headers));
    std::filesystem::resize_file(folder.File("large.vlb"), headers.size() + kLarge);

    struct Case {
        const char* label;
        std::vector<std::string> arguments;
        Output output;
        bool piped;  // the frame comes through a pipe on the standard input, else from FRAME
    };
    const std::vector<Case> cases = {
        {"a file into a file",
         {"decrypt-binary", "FRAME", "-k", "keys", "-o", "back"},
         Output::kFile,
         false},
        {"a pipe into a file",
         {"decrypt-binary", "-", "-k", "keys", "-o", "back"},
         Output::kFile,
         true},
        {"a pipe to the standard output",
         {"decrypt-binary", "-", "-k", "keys", "-o", "-"},
         Output::kDevNull,
         true},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        std::vector<std::string> large = testCase.arguments;
        std::vector<std::string> small = testCase.arguments;
        std::replace(large.begin(), large.end(), std::string("FRAME"), std::string("large.vlb"));
        std::replace(small.begin(), small.end(), std::string("FRAME"), std::string("small.vlb"));
        const Outcome tiny = RunTool(folder, small, testCase.piped ? smallFrame : "",
                                     testCase.output, 0, testCase.piped);
        ASSERT_EQ(tiny.status, 0) << tiny.err;
        const Outcome run = RunTool(folder, large, testCase.piped ? headers : "", testCase.output,
                                    0, testCase.piped, testCase.piped ? kLarge : 0);
        EXPECT_EQ(run.err, "");
        ASSERT_EQ(run.status, 0);
        if (testCase.output == Output::kFile) {
            EXPECT_EQ(std::filesystem::file_size(folder.File("back")), kLarge);
            std::filesystem::remove(folder.File("back"));
        }
        EXPECT_LT(run.maxResidentKiB, tiny.maxResidentKiB + 16 * 1024);
    }
}

// A UTF-8 letter is converted to the document form and back piece by piece: 96 MiB of accented
// lines encrypted (through the converted copy every such letter takes, from a file or a pipe
// alike) and decrypted to the standard output peak near the same runs on one line (the letter
// in memory would take 96 MiB more). The letter is written in pieces, so that the test's own
// image, which a child's peak counts until its exec, stays small.
TEST(ToolOutputFailures, AUtf8LetterIsConvertedInConstantMemory) {
    if (testsupport::RunningOnValgrind()) {
        GTEST_SKIP() << "a child's peak counts valgrind's heap until its exec";
    }
    TempDir folder;
    toolrun::MakeKeys(folder);
    ASSERT_EQ(setenv("LC_ALL", "C.UTF-8", 1), 0);
    const std::string line =
        "\xC3\x89t\xC3\xA9 \xC3\xA0 l'\xC5\x93uvre, 12 \xE2\x82\xAC \xC2\xAB oui \xC2\xBB "
        "\xE2\x80\x94 \xC5\xA1koda\n";
    ASSERT_TRUE(WriteText(folder.File("small.txt"), line));
    {
        std::string chunk;
        while (chunk.size() < (1u << 20)) {
            chunk += line;
        }
        FILE* file = fopen(folder.File("large.txt").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        for (int mebibyte = 0; mebibyte < 96; ++mebibyte) {
            ASSERT_EQ(fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
        }
        ASSERT_EQ(fclose(file), 0);
    }
    const std::vector<std::vector<std::string>> cases = {
        {"encrypt", "SIZE.txt", "-u", "dupont", "-k", "keys"},
        {"decrypt", "SIZE.txt.vlx", "-k", "keys", "-o", "-"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        SCOPED_TRACE(arguments[0]);
        std::vector<Outcome> runs;
        for (const std::string size : {"small", "large"}) {
            std::vector<std::string> sized = arguments;
            sized[1].replace(0, 4, size);
            runs.push_back(RunTool(folder, sized, "", Output::kDevNull));
            ASSERT_EQ(runs.back().status, 0) << runs.back().err;
        }
        EXPECT_LT(runs[1].maxResidentKiB, runs[0].maxResidentKiB + 16 * 1024);
    }
    unsetenv("LC_ALL");
}

// A message whose key file is missing fails as the streaming pipeline found it: the key file is
// named from the library's failure report, never by reading the message again, whole, to find
// out which key it needed.
TEST(ToolOutputFailures, AMissingKeyOfALargeMessageIsNamedWithoutReadingItIntoMemory) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    // A document of 384 MiB makes a message of about 512 MiB.
    ASSERT_TRUE(WriteLinesOfX(folder.File("letter.txt"), 384u << 20));
    ASSERT_TRUE(WriteText(folder.File("line.txt"), "x\n"));
    for (const char* document : {"letter.txt", "line.txt"}) {
        ASSERT_EQ(RunTool(folder, {"encrypt", document, "-u", "dupont", "-k", "keys"}).status, 0);
    }
    std::filesystem::remove(folder.File("letter.txt"));
    ASSERT_GT(std::filesystem::file_size(folder.File("letter.txt.vlx")), 500u << 20);
    std::filesystem::remove(folder.File(kUserPath));

    const Outcome run = RunTool(folder, {"decrypt", "letter.txt.vlx", "-k", "keys"});
    const std::string missing =
        "veldoran-tool: " + kUserPath + ": key file named by the message not found\n";
    EXPECT_EQ(run.err, missing);
    EXPECT_EQ(run.status, 251);
    EXPECT_FALSE(std::filesystem::exists(folder.File("letter.txt.vlx.txt")));
    // Measured against the same failure on a one-line message (see above for valgrind).
    if (!testsupport::RunningOnValgrind()) {
        const Outcome small = RunTool(folder, {"decrypt", "line.txt.vlx", "-k", "keys"});
        ASSERT_EQ(small.err, missing);
        ASSERT_EQ(small.status, 251);
        EXPECT_LT(run.maxResidentKiB, small.maxResidentKiB + 16 * 1024);
    }
}

// Recipient lists, parameters and key names come from the sender: control characters reach the
// reader's terminal only as \xNN.
TEST(ToolOutputFailures, TextsFromTheSenderArePrintedEscaped) {
    TempDir folder;
    toolrun::MakeKeys(folder);
    const Outcome encrypted = RunTool(folder,
                                      {"encrypt", "-u", "dupont", "-k", "keys", "--to", "a\x1b[2Jb",
                                       "--cc", "c\\d", "--param", "p\x07"},
                                      "hello\n");
    ASSERT_EQ(encrypted.status, 0);
    const Outcome shown = RunTool(folder, {"decrypt", "-k", "keys", "--recipients"}, encrypted.out);
    EXPECT_EQ(shown.out, "hello\n");
    EXPECT_EQ(shown.err, "to: a\\x1b[2Jb\ncc: c\\x5cd\nbcc: \nparameters: p\\x07\n");
    EXPECT_EQ(shown.status, 0);

    // A sender's key whose name holds an escape: the library takes it, the message names it.
    const std::string user = "du\x1b]0;pont";
    testsupport::KeyFileContents contents;
    contents.name = user;
    contents.year = testsupport::CurrentFullYear();
    contents.material = testsupport::RandomBytes(4096, 5);
    ASSERT_TRUE(
        testsupport::WriteKeyFile(folder.File("keys/Clefs/" + user + "." + kYear), contents));
    char* message = nullptr;
    ASSERT_EQ(crypterMem3("hello\n", &message, user.c_str(), folder.File("keys/").c_str(), "", "",
                          "", ""),
              kNoErr);
    const std::string text = message;
    free(message);
    const Outcome missing = RunTool(folder, {"decrypt", "-k", "elsewhere"}, text);
    EXPECT_EQ(missing.err, "veldoran-tool: elsewhere/Clefs/du\\x1b]0;pont." + kYear +
                               ": key file named by the message not found\n");
    EXPECT_EQ(missing.status, 251);
}

// key show on what is not a key file: a status that is not 0, a line that says what it is, and
// never a wait on a pipe.
TEST(ToolOutputFailures, KeyShowSaysWhatAFileIsWhenItIsNoKey) {
    TempDir folder;
    const std::vector<unsigned char> random = testsupport::RandomBytes(4096, 3);
    WriteText(folder.File("random"), std::string(random.begin(), random.end()));
    WriteText(folder.File("zeros"), std::string(4096, '\0'));
    std::filesystem::create_directories(folder.File("folder"));
    ASSERT_EQ(mkfifo(folder.File("fifo").c_str(), 0600), 0);
    testsupport::KeyFileContents nameless;
    nameless.name = "";
    nameless.material = testsupport::RandomBytes(100, 4);
    ASSERT_TRUE(testsupport::WriteKeyFile(folder.File("nameless"), nameless));
    struct Case {
        const char* label;
        std::string path;
        std::string err;
        int status;
    };
    std::vector<Case> cases = {
        {"a folder", "folder", "veldoran-tool: folder: is a folder, not a key file\n", 255},
        {"a pipe", "fifo",
         "veldoran-tool: fifo: is not a regular file (a device, a pipe or a socket)\n", 255},
        {"a device", "/dev/zero",
         "veldoran-tool: /dev/zero: is not a regular file (a device, a pipe or a socket)\n", 255},
        {"zeros", "zeros",
         "veldoran-tool: zeros: not a key file of version 1: its header says version 0\n", 250},
        {"missing", "none", "veldoran-tool: none: key file not found\n", 213},
        {"a version 1 header without a name", "nameless",
         "veldoran-tool: nameless: not a key file: its header's name, id or key length is out of "
         "range\n",
         255},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.label);
        const Outcome run = RunTool(folder, {"key", "show", testCase.path});
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, testCase.err);
        EXPECT_EQ(run.status, testCase.status);
    }
    // Random bytes: whatever their header fields say, not a key file.
    const Outcome run = RunTool(folder, {"key", "show", "random"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("veldoran-tool: random: not a key file", 0), 0u) << run.err;
    EXPECT_NE(run.status, 0);

    // A key whose position lies outside its material is a damaged key: shown, not refused.
    testsupport::KeyFileContents astray;
    astray.keyOffset = 101;
    astray.material = testsupport::RandomBytes(100, 4);
    ASSERT_TRUE(testsupport::WriteKeyFile(folder.File("astray"), astray));
    const Outcome shown = RunTool(folder, {"key", "show", "astray"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("left before wrap:   none: the offset lies outside the key material"),
              std::string::npos)
        << shown.out;
}

}  // namespace
