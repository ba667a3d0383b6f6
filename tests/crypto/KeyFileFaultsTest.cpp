// Key files outside their limits, short key files, unwritable key files and allocation
// failures: each call fails with its code, writes nothing outside its buffers and leaves the
// key file byte for byte as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <vector>

#include "CryptoFixture.h"
#include "support/ChildProcess.h"
#include "support/FailingUtils.h"

namespace cryptotest {
namespace {

using testsupport::EncodeKeyHeader;
using testsupport::KeyFileContents;
using testsupport::ReadWholeFile;
using testsupport::WriteKeyFile;
using testsupport::WriteWholeFile;

using Bytes = std::vector<unsigned char>;

struct BadKeyCase {
    const char* what;
    int32_t version;
    int64_t keyLen;  // -1: the material's length
    int32_t keyOffset;
    size_t materialBytes;  // key material actually in the file
    size_t headerBytes;    // bytes of the header actually in the file
    uint32_t n;
    int32_t expected;
};

void PrintTo(const BadKeyCase& row, std::ostream* os) {
    *os << row.what;
}

const BadKeyCase kBadKeys[] = {
    // A header version other than 1: frames made with it could never be decrypted.
    {"version 2", 2, -1, 0, 100, 224, 10, kBadKeyHeader},
    {"version 0", 0, -1, 0, 100, 224, 10, kBadKeyHeader},
    // No key material declared: the key stream could never advance.
    {"keyLen 0", 1, 0, 0, 100, 224, 10, kOffsetOutOfRangeErr},
    {"keyLen negative", 1, -5, 0, 100, 224, 10, kOffsetOutOfRangeErr},
    {"keyLen most negative", 1, -2147483648LL, 0, 100, 224, 10, kOffsetOutOfRangeErr},
    // A stored position outside 0 to keyLen.
    {"offset negative", 1, -1, -1, 100, 224, 10, kOffsetOutOfRangeErr},
    {"offset past keyLen", 1, -1, 101, 100, 224, 10, kOffsetOutOfRangeErr},
    // Key material shorter than keyLen: the stream reaches bytes that are not there.
    {"material short at start", 1, 100, 40, 50, 224, 20, kOtherErr},
    // The same reads over complete material succeed.
    {"material complete", 1, 100, 95, 100, 224, 200, kNoErr},
    // The run to the end of the material is short but the run after the wrap is complete: the
    // short first read alone must fail the call.
    {"material short before wrap", 1, 100, 40, 50, 224, 70, kOtherErr},
    {"material short of keyLen", 1, 150, 95, 100, 224, 20, kOtherErr},
    {"material short, longer message", 1, 100, 0, 99, 224, 1000, kOtherErr},
    {"no material at all", 1, 100, 0, 0, 224, 1, kOtherErr},
    // A file shorter than its header.
    {"header cut", 1, -1, 0, 0, 100, 1, kOtherErr},
    {"empty file", 1, -1, 0, 0, 0, 1, kOtherErr},
};

class BadKeyFiles : public KeyFolderFixture, public ::testing::WithParamInterface<BadKeyCase> {};

TEST_P(BadKeyFiles, CryptFailsAndLeavesTheKeyFile) {
    const BadKeyCase& c = GetParam();
    KeyFileContents contents = DupontKey(CountingMaterial(c.materialBytes), c.keyOffset, 3);
    contents.version = c.version;
    contents.keyLen = c.keyLen;
    Bytes file = EncodeKeyHeader(contents);
    file.resize(c.headerBytes);
    file.insert(file.end(), contents.material.begin(), contents.material.end());
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteWholeFile(path, file));

    const Bytes data(c.n, 0x5C);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    EXPECT_EQ(crypto.Crypt(data.data(), c.n, &frame, &frameLength, Ref(path).get()), c.expected);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frameLength, c.n + 224);
    if (c.expected != kNoErr) {
        EXPECT_EQ(ReadWholeFile(path), file);
        // A failed frame holds neither the data nor key material.
        EXPECT_EQ(Bytes(frame + 224, frame + frameLength), Bytes(c.n, ' '));
    }
    utils.MyDisposeptr(&frame, frameLength);
}

INSTANTIATE_TEST_SUITE_P(Cipher, BadKeyFiles, ::testing::ValuesIn(kBadKeys), CaseName());

using KeyFileFaults = KeyFolderFixture;

// Decryption reads key material from the frame's position: a short key file fails there too,
// and a key file with no usable length is refused.
TEST_F(KeyFileFaults, UnCryptRefusesShortAndEmptyKeys) {
    struct {
        int64_t keyLen;
        size_t materialBytes;
        int32_t frameOffset;
        int32_t expected;
    } const cases[] = {
        {100, 50, 40, kOtherErr},  // the stream reaches bytes 50 to 59, which are missing
        {100, 50, 0, kNoErr},      // bytes 0 to 19 are there
        {0, 50, 0, kOffsetOutOfRangeErr},
        {-7, 50, 0, kOffsetOutOfRangeErr},
    };
    for (const auto& c : cases) {
        KeyFileContents contents = DupontKey(CountingMaterial(c.materialBytes), 0);
        contents.keyLen = c.keyLen;
        ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), contents));
        const Bytes keyFile = ReadWholeFile(KeyPath("Dupont.126"));
        contents.keyOffset = c.frameOffset;
        Bytes frame = EncodeKeyHeader(contents);
        frame.resize(244, 0);
        unsigned char* data = nullptr;
        uint32_t dataLength = 0;
        EXPECT_EQ(crypto.UnCrypt(frame.data(), 244, &data, &dataLength), c.expected)
            << "keyLen " << c.keyLen << " offset " << c.frameOffset;
        EXPECT_EQ(dataLength, 20u);
        utils.MyDisposeptr(&data, dataLength);
        EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), keyFile);
    }
}

TEST_F(KeyFileFaults, MissingKeyFileForCryptFailsWithoutCreatingIt) {
    const std::string path = KeyPath("Nobody.126");
    const Bytes data = {1, 2, 3};
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    EXPECT_EQ(crypto.Crypt(data.data(), 3, &frame, &frameLength, Ref(path).get()), kOtherErr);
    EXPECT_EQ(frameLength, 227u);
    utils.MyDisposeptr(&frame, frameLength);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// A key file that cannot be written to is not spent: the encryption fails before any key
// stream is handed out. Run as nobody, since file permissions do not bind the superuser.
TEST_F(KeyFileFaults, ReadOnlyKeyFileIsNotSpent) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(CountingMaterial(100), 10)));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(KeyDir().c_str(), 0755), 0);
    const Bytes before = ReadWholeFile(path);

    const int status = testsupport::RunAsUnprivileged([&]() {
        // The key file must be readable and not writable for this user, or nothing is shown.
        if (access(path.c_str(), R_OK) != 0 || access(path.c_str(), W_OK) == 0) {
            return 100;
        }
        const Bytes data(10, 0);
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        int failures =
            crypto.Crypt(data.data(), 10, &frame, &frameLength, Ref(path).get()) == kOtherErr ? 0
                                                                                              : 1;
        failures += Bytes(frame + 224, frame + frameLength) == Bytes(10, ' ') ? 0 : 1;
        utils.MyDisposeptr(&frame, frameLength);
        return failures;
    });
    if (status == testsupport::kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadWholeFile(path), before);
}

// Decryption takes the key file read-only and writes nothing to it.
TEST_F(KeyFileFaults, UnCryptNeedsNoWriteAccess) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(CountingMaterial(100), 10)));
    const Bytes data = {9, 8, 7};
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypto.Crypt(data.data(), 3, &frame, &frameLength, Ref(path).get()), kNoErr);
    ASSERT_EQ(chmod(path.c_str(), 0400), 0);
    const Bytes before = ReadWholeFile(path);
    unsigned char* plain = nullptr;
    uint32_t plainLength = 0;
    EXPECT_EQ(crypto.UnCrypt(frame, frameLength, &plain, &plainLength), kNoErr);
    EXPECT_EQ(Bytes(plain, plain + plainLength), data);
    EXPECT_EQ(ReadWholeFile(path), before);
    utils.MyDisposeptr(&plain, plainLength);
    utils.MyDisposeptr(&frame, frameLength);
}

using AllocationFaults = KeyFolderFixtureT<testsupport::FailingUtils>;

// Crypt allocates the frame and then its key stream's window; either failing gives kMemErr,
// no frame, nothing left allocated and the key file unspent.
TEST_F(AllocationFaults, CryptReportsMemErrAndSpendsNothing) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(CountingMaterial(100), 10)));
    const Bytes before = ReadWholeFile(path);
    const Bytes data(30, 1);
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        utils.FailCall(call);
        unsigned char sentinel = 0;
        unsigned char* frame = &sentinel;
        uint32_t frameLength = 7;
        EXPECT_EQ(crypto.Crypt(data.data(), 30, &frame, &frameLength, Ref(path).get()), kMemErr);
        EXPECT_EQ(utils.calls(), call);
        EXPECT_EQ(frame, nullptr);
        EXPECT_EQ(frameLength, 0u);
        EXPECT_EQ(utils.liveBlocks(), 0);
        EXPECT_EQ(ReadWholeFile(path), before);
    }
}

// UnCrypt allocates the data block and then its key stream's window; either failing gives
// kMemErr, nothing handed over and nothing left allocated.
TEST_F(AllocationFaults, UnCryptReportsMemErrAtEachAllocation) {
    const std::string path = KeyPath("Dupont.126");
    ASSERT_TRUE(WriteKeyFile(path, DupontKey(CountingMaterial(100), 10)));
    const Bytes data(30, 1);
    unsigned char* frame = nullptr;
    uint32_t frameLength = 0;
    ASSERT_EQ(crypto.Crypt(data.data(), 30, &frame, &frameLength, Ref(path).get()), kNoErr);
    const int baseline = utils.liveBlocks();
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        utils.FailCall(call);
        unsigned char* failedPlain = frame;
        uint32_t failedLength = 7;
        EXPECT_EQ(crypto.UnCrypt(frame, frameLength, &failedPlain, &failedLength), kMemErr);
        EXPECT_EQ(utils.calls(), call);
        EXPECT_EQ(failedPlain, nullptr);
        EXPECT_EQ(failedLength, 0u);
        EXPECT_EQ(utils.liveBlocks(), baseline);
    }
    // With memory back, the same frame still decrypts.
    utils.FailCall(0);
    unsigned char* plain = nullptr;
    uint32_t plainLength = 0;
    EXPECT_EQ(crypto.UnCrypt(frame, frameLength, &plain, &plainLength), kNoErr);
    EXPECT_EQ(Bytes(plain, plain + plainLength), data);
    utils.MyDisposeptr(&plain, plainLength);
    utils.MyDisposeptr(&frame, frameLength);
    EXPECT_EQ(utils.liveBlocks(), 0);
}

TEST_F(AllocationFaults, DecrypterPJReportsMemErr) {
    utils.FailCall(1);
    unsigned char* out = nullptr;
    uint32_t outLength = 3;
    char text[7];
    EXPECT_EQ(crypto.DecrypterPJ(nullptr, 0, &out, &outLength, text), kMemErr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLength, 0u);
}

}  // namespace
}  // namespace cryptotest
