// Runs veldoran-tool as a user or a mail client runs it: arguments and standard input in; the
// exact standard output, standard error and exit status out; in a given working folder. Also
// the key folder the tool's tests encrypt with, and containers made by the library.
#ifndef VELDORAN_TESTS_SHELL_TOOLRUN_H
#define VELDORAN_TESTS_SHELL_TOOLRUN_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace toolrun {

const std::string kTool = VELDORAN_TOOL;
const std::string kYear = testsupport::CurrentYearText();
// The key files MakeKeys writes, relative to the folder.
const std::string kMasterPath = "keys/Clefs/Master." + kYear;
const std::string kUserPath = "keys/Clefs/dupont." + kYear;

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // -1: the program did not exit normally
};

inline std::string ReadText(const std::string& path) {
    const std::vector<unsigned char> bytes = testsupport::ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

inline bool WriteText(const std::string& path, const std::string& text) {
    return testsupport::WriteWholeFile(path, std::vector<unsigned char>(text.begin(), text.end()));
}

// Runs the tool in folder (ending with "/") with the given arguments and standard input; the
// streams go through files beside the folder, so the folder holds only what the tool made. A
// standardOutput path (such as /dev/full) replaces the standard output's file; out stays empty.
// A key folder keys/ in folder with the year's master key and dupont's key, both of 64 KiB.
inline void MakeKeys(const testsupport::TempDir& folder) {
    ASSERT_FALSE(
        testsupport::WriteCurrentYearKey(folder.File("keys/"), "Master", 65536, 0, 11).empty());
    ASSERT_FALSE(
        testsupport::WriteCurrentYearKey(folder.File("keys/"), "dupont", 65536, 0, 12).empty());
}

// The tool's argument vector for execv: its path, the arguments, a null pointer. It points into
// arguments, which must outlive it.
inline std::vector<char*> ArgumentVector(const std::vector<std::string>& arguments) {
    std::vector<char*> argv = {const_cast<char*>(kTool.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

struct NamedEntry {
    std::string name;
    std::string content;
};

// Writes a container made by the library with the given entries, names taken as they are.
inline void WriteContainer(const std::string& path, const std::vector<NamedEntry>& entries) {
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    auto container = std::make_unique<TypPieceJointe>();
    container->InitCreate2(&utils, kformatnoncompresse);
    for (const NamedEntry& entry : entries) {
        const auto length = static_cast<uint32_t>(entry.content.size());
        unsigned char* data = utils.MyNewPtr(length);
        ASSERT_TRUE(data != nullptr || length == 0);
        if (length > 0) {
            memcpy(data, entry.content.data(), length);
        }
        TypInfo info{};
        ASSERT_EQ(
            container->AddBlock(&info, data, static_cast<int32_t>(length), entry.name.c_str()),
            kNoErr);
    }
    unsigned char* block = nullptr;
    int32_t blockLength = 0;
    ASSERT_EQ(container->GetStruct(&block, &blockLength), kNoErr);
    testsupport::WriteWholeFile(path, std::vector<unsigned char>(block, block + blockLength));
    utils.MyDisposeptr(&block, static_cast<uint32_t>(blockLength));
    container->Kill();
}

// The tool's home, state and configuration all under state (XDG_STATE_HOME itself, HOME and
// XDG_CONFIG_HOME inside it), so that nothing the tool reads or writes is the user's own.
// False when a variable cannot be set.
inline bool UseOwnHome(const std::string& state) {
    return setenv("XDG_STATE_HOME", state.c_str(), 1) == 0 &&
           setenv("HOME", (state + "/home").c_str(), 1) == 0 &&
           setenv("XDG_CONFIG_HOME", (state + "/config").c_str(), 1) == 0;
}

// The same for a shell command: the assignments to put in front of the tool.
inline std::string OwnHomeAssignments(const std::string& state) {
    return "XDG_STATE_HOME='" + state + "' HOME='" + state + "/home' XDG_CONFIG_HOME='" + state +
           "/config' ";
}

// In a child about to run the tool: its state goes to a folder beside the test folder (folder
// ends with "/"), never to the user's own. False when a variable cannot be set.
inline bool UseOwnState(const std::string& folder) {
    return UseOwnHome(folder.substr(0, folder.size() - 1) + ".state");
}

// Starts the tool in folder with its output streams discarded and returns at once: for tests
// that act on the run while it works. The caller waits for the returned child.
inline pid_t StartTool(const testsupport::TempDir& folder,
                       const std::vector<std::string>& arguments) {
    std::vector<char*> argv = ArgumentVector(arguments);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 ||
            chdir(folder.path().c_str()) != 0 || !UseOwnState(folder.path())) {
            _exit(127);
        }
        execv(kTool.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

// The tool's standard input: a file holding the input, or a pipe it is written into (as a mail
// client hands a body over).
enum class Input { kFile, kPipe };

inline RunResult RunTool(const std::string& folder, const std::vector<std::string>& arguments,
                         const std::string& input = "", const std::string& standardOutput = "",
                         Input inputKind = Input::kFile) {
    const std::string base = folder.substr(0, folder.size() - 1);
    const std::string inPath = base + ".stdin";
    const std::string outPath = standardOutput.empty() ? base + ".stdout" : standardOutput;
    const std::string errPath = base + ".stderr";
    WriteText(inPath, input);
    std::vector<char*> argv = ArgumentVector(arguments);
    int ends[2] = {-1, -1};
    if (inputKind == Input::kPipe && pipe(ends) != 0) {
        return RunResult();
    }

    const pid_t child = fork();
    if (child == 0) {
        const int in = inputKind == Input::kPipe ? ends[0] : open(inPath.c_str(), O_RDONLY);
        if (ends[1] >= 0) {
            close(ends[1]);
        }
        const int out = standardOutput.empty()
                            ? open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                            : open(outPath.c_str(), O_WRONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(folder.c_str()) != 0 || !UseOwnState(folder)) {
            _exit(127);
        }
        execv(kTool.c_str(), argv.data());
        _exit(127);
    }
    if (inputKind == Input::kPipe) {
        close(ends[0]);
        for (size_t done = 0; done < input.size();) {
            const ssize_t written = write(ends[1], input.data() + done, input.size() - done);
            if (written <= 0) {
                break;
            }
            done += static_cast<size_t>(written);
        }
        close(ends[1]);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.err = ReadText(errPath);
    std::filesystem::remove(inPath);
    if (standardOutput.empty()) {
        result.out = ReadText(outPath);
        std::filesystem::remove(outPath);
    }
    std::filesystem::remove(errPath);
    return result;
}

// Where RunToolInto sends the standard output: a pseudo-terminal in raw mode (so that the bytes
// read are the bytes written), as at a user's terminal, or a pipe, as into another program.
enum class Output { kTerminal, kPipe };

// Runs the tool as RunTool does with a file for standard input, but with its standard output
// on a terminal or a pipe that the test reads.
inline RunResult RunToolInto(Output output, const std::string& folder,
                             const std::vector<std::string>& arguments,
                             const std::string& input = "") {
    const std::string base = folder.substr(0, folder.size() - 1);
    const std::string inPath = base + ".stdin";
    const std::string errPath = base + ".stderr";
    WriteText(inPath, input);
    std::vector<char*> argv = ArgumentVector(arguments);
    int ends[2] = {-1, -1};
    if (output == Output::kPipe ? pipe(ends) != 0
                                : openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0) {
        return RunResult();
    }
    const int reading = ends[0];
    const int writing = ends[1];
    if (output == Output::kTerminal) {
        struct termios raw {};
        tcgetattr(writing, &raw);
        cfmakeraw(&raw);
        tcsetattr(writing, TCSANOW, &raw);
    }
    const pid_t child = fork();
    if (child == 0) {
        close(reading);
        const int in = open(inPath.c_str(), O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(writing, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0 || !UseOwnState(folder)) {
            _exit(127);
        }
        execv(kTool.c_str(), argv.data());
        _exit(127);
    }
    close(writing);
    RunResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(reading, buffer, sizeof buffer);
        if (got <= 0) {
            break;  // the end, or EIO once the tool, the terminal's last writer, has gone
        }
        result.out.append(buffer, static_cast<size_t>(got));
    }
    close(reading);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.err = ReadText(errPath);
    std::filesystem::remove(inPath);
    std::filesystem::remove(errPath);
    return result;
}

}  // namespace toolrun

#endif
