// A test fixture with a key folder of the current year holding a master key and the sender's
// key "dupont", and the key files' bytes as they stood when last written: what the pipeline
// tests encrypt with, and what they check the key files against after a run.
#ifndef VELDORAN_TESTS_SUPPORT_KEYPAIRFIXTURE_H
#define VELDORAN_TESTS_SUPPORT_KEYPAIRFIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"
#include "support/TempDir.h"

namespace testsupport {

class KeyPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        keyFolder_ = folder_.File("keys/");
        std::filesystem::create_directories(keyFolder_ + "Clefs");
        master_ = MasterKey();
        user_ = UserKey();
        WriteKeys();
    }

    // The keys SetUp writes. Tiny, so that messages wrap around them; the master key already
    // used and with a filled reserve, so that a header field left behind shows.
    virtual KeyFileContents MasterKey() const {
        KeyFileContents key = Described("Master", "master-id", 300, 17, 11);
        key.useCount = 4;
        key.reserveFill = 0xA5;
        return key;
    }
    // Close to the end, so the outer layer wraps around the key material.
    virtual KeyFileContents UserKey() const {
        return Described("dupont", "dupont-id", 500, 450, 12);
    }

    // A key of the current year with size bytes of material made from seed.
    static KeyFileContents Described(const std::string& name, const std::string& id, size_t size,
                                     int32_t keyOffset, uint32_t seed) {
        KeyFileContents key;
        key.name = name;
        key.year = CurrentFullYear();
        key.id = id;
        key.keyOffset = keyOffset;
        key.material = RandomBytes(size, seed);
        return key;
    }

    // Writes master_ and user_ and takes them as the key files to compare with.
    void WriteKeys() {
        ASSERT_TRUE(WriteKeyFile(MasterPath(), master_));
        ASSERT_TRUE(WriteKeyFile(UserPath(), user_));
        SnapshotKeys();
    }
    // The key files as they stand now become the ones to compare with.
    void SnapshotKeys() {
        masterBefore_ = ReadWholeFile(MasterPath());
        userBefore_ = ReadWholeFile(UserPath());
    }
    void RestoreKeys() {
        ASSERT_TRUE(WriteWholeFile(MasterPath(), masterBefore_));
        ASSERT_TRUE(WriteWholeFile(UserPath(), userBefore_));
    }

    std::string MasterPath() const { return keyFolder_ + "Clefs/Master." + CurrentYearText(); }
    std::string UserPath() const { return keyFolder_ + "Clefs/dupont." + CurrentYearText(); }

    bool MasterUntouched() const { return ReadWholeFile(MasterPath()) == masterBefore_; }
    bool UserUntouched() const { return ReadWholeFile(UserPath()) == userBefore_; }
    bool KeysUntouched() const { return MasterUntouched() && UserUntouched(); }

    TempDir folder_;
    std::string keyFolder_;
    KeyFileContents master_;
    KeyFileContents user_;
    std::vector<unsigned char> masterBefore_;
    std::vector<unsigned char> userBefore_;
};

}  // namespace testsupport

#endif
