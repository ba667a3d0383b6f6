// The encrypting pipelines side by side (text and binary, file and memory), for the tests that run
// them many times over the same key files (killed at random, or from several processes at once):
// one way to run each on a document file, and one way to open what it produced back into its two
// frames, its comments and its document.
#ifndef VELDORAN_TESTS_PIPELINES_ENCRYPTINGPIPELINES_H
#define VELDORAN_TESTS_PIPELINES_ENCRYPTINGPIPELINES_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/KeyFileWriter.h"
#include "veldoran.h"

namespace pipelinerun {

using Bytes = std::vector<unsigned char>;

enum class Pipeline {
    kProgram,       // the veldoran program (crypter3), in a process of its own
    kTextFile,      // crypter3 called here
    kMemory,        // crypterMem3
    kBinaryFile,    // crypterbinaire2
    kBinaryMemory,  // crypterbinaireMem2
};

inline const char* Name(Pipeline pipeline) {
    switch (pipeline) {
        case Pipeline::kProgram:
            return "veldoran program";
        case Pipeline::kTextFile:
            return "crypter3";
        case Pipeline::kMemory:
            return "crypterMem3";
        case Pipeline::kBinaryFile:
            return "crypterbinaire2";
        case Pipeline::kBinaryMemory:
            return "crypterbinaireMem2";
    }
    return "?";
}

// Whether the pipeline's output is a message text (comment lines and armour) rather than a bare
// outer frame, and whether it writes its output into a target file itself.
inline bool WritesText(Pipeline pipeline) {
    return pipeline != Pipeline::kBinaryFile && pipeline != Pipeline::kBinaryMemory;
}
inline bool WritesTarget(Pipeline pipeline) {
    return pipeline != Pipeline::kMemory && pipeline != Pipeline::kBinaryMemory;
}

constexpr char kTo[] = "durand,martin";

// What the text pipelines append to the document before the master layer.
inline std::string RecipientBlock() {
    return std::string("#DESTBEGIN#") + kTo + ",," + "#DESTEND#";
}

// Bytes the master layer encrypts for a document of n bytes; the user layer adds a header.
inline uint32_t MasterLayerLength(Pipeline pipeline, size_t n) {
    return static_cast<uint32_t>(n + (WritesText(pipeline) ? RecipientBlock().size() : 0));
}

struct Job {
    std::string keyFolder;  // ends with '/'
    std::string user;
    std::string source;
    std::string target;
};

// Replaces the calling process with the veldoran program encrypting job's source; returns only
// when the program cannot be started.
inline void ExecProgram(const Job& job) {
    const char* arguments[] = {VELDORAN_PROGRAM,
                               "-s",
                               job.source.c_str(),
                               "-o",
                               job.target.c_str(),
                               "-u",
                               job.user.c_str(),
                               "-k",
                               job.keyFolder.c_str(),
                               "-d",
                               kTo,
                               nullptr};
    execv(VELDORAN_PROGRAM, const_cast<char* const*>(arguments));
}

// Runs one pipeline to the end in this process (the program in a child it waits for). A
// pipeline that writes no target hands its output back through output. Returns the result code
// (the program's exit status; -1000 when it could not be run).
inline int32_t Encrypt(Pipeline pipeline, const Job& job, Bytes* output) {
    switch (pipeline) {
        case Pipeline::kProgram: {
            const pid_t child = fork();
            if (child == 0) {
                ExecProgram(job);
                _exit(127);
            }
            int status = 0;
            if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
                return -1000;
            }
            return WEXITSTATUS(status);
        }
        case Pipeline::kTextFile:
            return crypter3(job.source.c_str(), job.target.c_str(), job.user.c_str(),
                            job.keyFolder.c_str(), kTo, "", "", 0);
        case Pipeline::kMemory: {
            const Bytes document = testsupport::ReadWholeFile(job.source);
            const std::string text(document.begin(), document.end());
            char* out = nullptr;
            const int32_t result = crypterMem3(text.c_str(), &out, job.user.c_str(),
                                               job.keyFolder.c_str(), kTo, "", "", "");
            if (out != nullptr) {
                output->assign(out, out + strlen(out));
            }
            free(out);
            return result;
        }
        case Pipeline::kBinaryFile:
            return crypterbinaire2(job.source.c_str(), job.target.c_str(), job.user.c_str(),
                                   job.keyFolder.c_str(), 0);
        case Pipeline::kBinaryMemory: {
            const Bytes data = testsupport::ReadWholeFile(job.source);
            unsigned char* out = nullptr;
            uint32_t outLength = 0;
            const int32_t result =
                crypterbinaireMem2(data.data(), static_cast<uint32_t>(data.size()), &out,
                                   &outLength, job.user.c_str(), job.keyFolder.c_str(), 0);
            if (out != nullptr) {
                output->assign(out, out + outLength);
            }
            free(out);
            return result;
        }
    }
    return -1000;
}

// An output opened back: the key headers its frames carry and the document it decrypts to.
struct Opened {
    bool ok = false;  // armour read, both layers removed, the document decrypted
    testsupport::KeyHeaderFields user;
    testsupport::KeyHeaderFields master;
    uint32_t innerLength = 0;    // bytes the user layer encrypted
    uint32_t messageLength = 0;  // bytes the master layer encrypted
    std::string comments;        // the text before the armour (text outputs)
    Bytes document;
};

inline Opened Open(Pipeline pipeline, const std::string& keyFolder, const Bytes& output) {
    Opened opened;
    TypUtilsUnix utils;
    utils.InitCreate(nullptr);
    if (utils.SetKeyFolderPath(keyFolder.c_str()) != kNoErr) {
        return opened;
    }
    Bytes outer = output;
    if (WritesText(pipeline)) {
        const std::string text(output.begin(), output.end());
        const size_t armourAt = text.find("#BINASCII1#");
        if (armourAt == std::string::npos) {
            return opened;
        }
        opened.comments = text.substr(0, armourAt);
        TypBinASCII armour;
        armour.InitCreate(&utils);
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        if (armour.ASCIIToBin(output.data(), static_cast<uint32_t>(output.size()), &frame,
                              &frameLength) != kNoErr) {
            return opened;
        }
        outer.assign(frame, frame + frameLength);
        utils.MyDisposeptr(&frame, frameLength);
    }
    if (outer.size() < 2 * testsupport::kKeyHeaderBytes) {
        return opened;
    }
    opened.user = testsupport::DecodeKeyHeader(outer.data());
    TypCryptoUnix crypto;
    crypto.InitCreate(&utils);
    unsigned char* inner = nullptr;
    uint32_t innerLength = 0;
    if (crypto.UnCrypt(outer.data(), static_cast<uint32_t>(outer.size()), &inner, &innerLength) !=
        kNoErr) {
        utils.MyDisposeptr(&inner, innerLength);
        return opened;
    }
    opened.master = testsupport::DecodeKeyHeader(inner);
    opened.innerLength = innerLength;
    opened.messageLength = innerLength - static_cast<uint32_t>(testsupport::kKeyHeaderBytes);
    utils.MyDisposeptr(&inner, innerLength);

    if (!WritesText(pipeline)) {
        unsigned char* data = nullptr;
        uint32_t dataLength = 0;
        opened.ok = decrypterbinaireMem2(outer.data(), static_cast<uint32_t>(outer.size()), &data,
                                         &dataLength, keyFolder.c_str(), 0) == kNoErr;
        if (data != nullptr) {
            opened.document.assign(data, data + dataLength);
        }
        free(data);
        return opened;
    }
    const std::string text(output.begin(), output.end());
    char* document = nullptr;
    char* tail = nullptr;
    opened.ok = decrypterMem3(text.c_str(), &document, keyFolder.c_str(), &tail) == kNoErr &&
                std::string(tail) == RecipientBlock();
    if (document != nullptr) {
        opened.document.assign(document, document + strlen(document));
    }
    free(document);
    free(tail);
    return opened;
}

// The comment line a text pipeline writes for a key whose frame carries header.
inline std::string CommentFor(const testsupport::KeyHeaderFields& header) {
    return "$VELDORAN initial, clef v1 " + header.name + "." + std::to_string(header.year - 1900) +
           " MID " + std::to_string(header.useCount) + "\n";
}

}  // namespace pipelinerun

#endif
