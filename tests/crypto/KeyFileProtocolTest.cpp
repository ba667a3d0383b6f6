// The order of file operations on a key file: encryption locks before it reads the header and
// puts the rewritten header on stable storage before it lets go; decryption only reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CryptoFixture.h"
#include "crypto/JournalRecord.h"
#include "crypto/LockedKeyFile.h"

namespace cryptotest {
namespace {

using testsupport::ReadWholeFile;
using testsupport::WriteKeyFile;

using Bytes = std::vector<unsigned char>;

// A real file reference that logs its calls and can be told to fail its write or its sync.
class SpyFileRef : public TypFileRefUnix {
  public:
    int32_t OpenDF(int32_t mode) override {
        log.push_back("open" + std::to_string(mode));
        return TypFileRefUnix::OpenDF(mode);
    }
    int32_t Read(unsigned char* buffer, uint32_t count) override {
        log.push_back("read");
        return TypFileRefUnix::Read(buffer, count);
    }
    int32_t Write(const unsigned char* buffer, uint32_t count) override {
        log.push_back("write");
        return failWrite ? kOtherErr : TypFileRefUnix::Write(buffer, count);
    }
    int32_t CloseDF() override {
        log.push_back("close");
        return TypFileRefUnix::CloseDF();
    }
    int32_t Lock(int32_t exclusive) override {
        log.push_back(exclusive != 0 ? "lock-exclusive" : "lock-shared");
        return TypFileRefUnix::Lock(exclusive);
    }
    int32_t Unlock() override {
        log.push_back("unlock");
        return TypFileRefUnix::Unlock();
    }
    int32_t Sync() override {
        log.push_back("sync");
        return failSync ? kOtherErr : TypFileRefUnix::Sync();
    }

    std::vector<std::string> log;
    bool failWrite = false;
    bool failSync = false;
};

// The log without the repeated reads, which depend on where the key stream wraps.
std::string Steps(const std::vector<std::string>& log) {
    std::string steps;
    for (const std::string& step : log) {
        if (step == "read" && steps.size() >= 5 &&
            steps.compare(steps.size() - 5, 5, "read ") == 0) {
            continue;
        }
        steps += step + " ";
    }
    return steps;
}

class KeyFileProtocol : public KeyFolderFixture {
  protected:
    void SetUp() override {
        KeyFolderFixture::SetUp();
        ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), DupontKey(CountingMaterial(100), 90)));
        spy.InitCreate(&utils);
        ASSERT_EQ(spy.SetPath(KeyPath("Dupont.126").c_str()), kNoErr);
    }

    int32_t Encrypt(uint32_t n) {
        const Bytes data(n, 0x33);
        unsigned char* frame = nullptr;
        uint32_t frameLength = 0;
        const int32_t result = crypto.Crypt(data.data(), n, &frame, &frameLength, &spy);
        lastPayload.assign(frame + 224, frame + frameLength);
        utils.MyDisposeptr(&frame, frameLength);
        return result;
    }

    SpyFileRef spy;
    Bytes lastPayload;
};

TEST_F(KeyFileProtocol, EncryptionHoldsTheLockFromReadToSync) {
    ASSERT_EQ(Encrypt(25), kNoErr);
    // One open for update; the exclusive lock before the header read; the header rewritten and
    // synced before the close that releases the lock.
    EXPECT_EQ(Steps(spy.log), "open0 lock-exclusive read write sync close ");
    EXPECT_EQ(spy.IsOpend(), kFileClosed);
}

TEST_F(KeyFileProtocol, DecryptionReadsWithoutExclusiveLock) {
    TypKeyHeader header;
    ASSERT_EQ(crypto.GetKeyKeyHeader(&header, &spy), kNoErr);
    EXPECT_EQ(Steps(spy.log), "open1 lock-shared read close ");
    spy.log.clear();
    std::vector<unsigned char> buffer(224 + 30);
    ASSERT_EQ(crypto.GetLinearKey(buffer.data(), 30, &spy, 95, 0), kNoErr);
    EXPECT_EQ(Steps(spy.log), "open1 read close ");
    // The buffer's header is the key file's own, position 90 and count 0.
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 224),
              testsupport::EncodeKeyHeader(DupontKey(CountingMaterial(100), 90)));
    EXPECT_EQ(Bytes(buffer.begin() + 224, buffer.begin() + 229), Bytes({95, 96, 97, 98, 99}));
}

// A rewrite that fails leaves no usable frame behind.
TEST_F(KeyFileProtocol, FailedRewriteFailsTheEncryption) {
    spy.failWrite = true;
    const Bytes before = ReadWholeFile(KeyPath("Dupont.126"));
    EXPECT_EQ(Encrypt(25), kOtherErr);
    EXPECT_EQ(lastPayload, Bytes(25, ' '));
    EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), before);
    EXPECT_EQ(spy.IsOpend(), kFileClosed);
}

// A header that may not have reached stable storage: the key material counts as spent (the key
// file moves on) but the frame is not handed out as valid.
TEST_F(KeyFileProtocol, FailedSyncFailsTheEncryption) {
    spy.failSync = true;
    EXPECT_EQ(Encrypt(25), kOtherErr);
    EXPECT_EQ(lastPayload, Bytes(25, ' '));
    testsupport::KeyHeaderFields after;
    ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("Dupont.126"), &after));
    EXPECT_EQ(after.keyOffset, 15);
    EXPECT_EQ(spy.IsOpend(), kFileClosed);
}

// The one rewrite besides an encryption's: the whole header as read, with the position and use
// count given, under the same lock and synced before the close; the material never touched.
TEST_F(KeyFileProtocol, MoveToRewritesThePositionAndCountOnly) {
    const struct {
        const char* what;
        int32_t storedOffset;
        bool toMove;  // opened with OpenToMove, else with Open
        int32_t openResult;
        uint32_t offset;
        int32_t useCount;
        int32_t moveResult;
    } cases[] = {
        {"forward", 90, true, kNoErr, 40, 7, kNoErr},
        {"to the end of the material", 90, true, kNoErr, 100, 1, kNoErr},
        {"to the start, count 0", 90, true, kNoErr, 0, 0, kNoErr},
        {"a damaged position mended", 150, true, kNoErr, 12, 3, kNoErr},
        {"a negative position mended", -4, true, kNoErr, 12, 3, kNoErr},
        {"beyond the material", 90, true, kNoErr, 101, 3, kOffsetOutOfRangeErr},
        {"a damaged position refused to an encryption", 150, false, kOffsetOutOfRangeErr, 0, 0,
         kNoErr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(
            WriteKeyFile(KeyPath("Dupont.126"), DupontKey(CountingMaterial(100), c.storedOffset)));
        const Bytes before = ReadWholeFile(KeyPath("Dupont.126"));
        spy.log.clear();
        veldoran::LockedKeyFile key;
        key.InitCreate(&utils, &spy);
        ASSERT_EQ(c.toMove ? key.OpenToMove(nullptr) : key.Open(nullptr), c.openResult);
        if (c.openResult != kNoErr) {
            EXPECT_EQ(spy.IsOpend(), kFileClosed);
            EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), before);
            continue;
        }
        EXPECT_EQ(key.MoveTo(c.offset, c.useCount), c.moveResult);
        ASSERT_EQ(key.Close(), kNoErr);
        if (c.moveResult != kNoErr) {
            EXPECT_EQ(Steps(spy.log), "open0 lock-exclusive read close ");
            EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), before);
            continue;
        }
        EXPECT_EQ(Steps(spy.log), "open0 lock-exclusive read write sync close ");
        Bytes expected = before;
        const Bytes header = testsupport::EncodeKeyHeader(
            DupontKey(CountingMaterial(100), static_cast<int32_t>(c.offset), c.useCount));
        std::copy(header.begin(), header.end(), expected.begin());
        EXPECT_EQ(ReadWholeFile(KeyPath("Dupont.126")), expected);
        EXPECT_EQ(key.Header().keyOffset, static_cast<int32_t>(c.offset));
        EXPECT_EQ(key.Header().useCount, c.useCount);
    }
}

// A key held to be moved is named by its fingerprint, its material read through the key stream
// reader: the first 64 bytes of a longer key, all of a shorter one, whatever its position.
TEST_F(KeyFileProtocol, AHeldKeyIsFingerprintedFromTheStartOfItsMaterial) {
    const struct {
        const char* what;
        size_t keyLen;
        int32_t keyOffset;
    } cases[] = {
        {"a key longer than the head", 100, 90},
        {"a key shorter than the head", 10, 3},
        {"a damaged position", 100, 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes material = CountingMaterial(c.keyLen);
        ASSERT_TRUE(WriteKeyFile(KeyPath("Dupont.126"), DupontKey(material, c.keyOffset)));
        veldoran::LockedKeyFile key;
        key.InitCreate(&utils, &spy);
        ASSERT_EQ(key.OpenToMove(nullptr), kNoErr);
        unsigned char read[veldoran::kKeyFingerprintSize] = {};
        EXPECT_EQ(veldoran::ReadKeyFingerprint(&utils, key.KeyFile(), key.Header(), read), kNoErr);
        unsigned char expected[veldoran::kKeyFingerprintSize] = {};
        veldoran::KeyFingerprint(key.Header(), material.data(), expected);
        EXPECT_EQ(Bytes(read, read + sizeof read), Bytes(expected, expected + sizeof expected));
        // The material past the head is no part of it.
        Bytes other = material;
        other.back() ^= 1;
        veldoran::KeyFingerprint(key.Header(), other.data(), expected);
        EXPECT_EQ(Bytes(read, read + sizeof read) == Bytes(expected, expected + sizeof expected),
                  c.keyLen > veldoran::kKeyFingerprintHead);
        key.Close();
    }
}

// A move that may not have reached stable storage is reported, like an encryption's rewrite.
TEST_F(KeyFileProtocol, MoveToReportsAFailedSync) {
    spy.failSync = true;
    veldoran::LockedKeyFile key;
    key.InitCreate(&utils, &spy);
    ASSERT_EQ(key.OpenToMove(nullptr), kNoErr);
    EXPECT_EQ(key.MoveTo(40, 7), kOtherErr);
    key.Close();
    testsupport::KeyHeaderFields after;
    ASSERT_TRUE(testsupport::ReadKeyHeader(KeyPath("Dupont.126"), &after));
    EXPECT_EQ(after.keyOffset, 40);
}

}  // namespace
}  // namespace cryptotest
