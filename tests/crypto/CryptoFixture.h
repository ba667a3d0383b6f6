// Shared set-up of the cipher tests: a fresh key folder with its Clefs/ sub-folder, a utility
// object pointed at it, a cipher object, and helpers to name and open key files there.
#ifndef VELDORAN_TESTS_CRYPTO_CRYPTOFIXTURE_H
#define VELDORAN_TESTS_CRYPTO_CRYPTOFIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "support/KeyFileWriter.h"
#include "support/TempDir.h"
#include "veldoran.h"

namespace cryptotest {

struct FileRefDeleter {
    void operator()(TypFileRef* fileRef) const {
        fileRef->CloseDF();
        fileRef->Kill();
        delete fileRef;
    }
};
using FileRefPtr = std::unique_ptr<TypFileRef, FileRefDeleter>;

// Key material whose byte k is k modulo 256: a frame of zero bytes then shows the key
// positions it used, which keeps the expectations readable.
inline std::vector<unsigned char> CountingMaterial(size_t length) {
    std::vector<unsigned char> material(length);
    for (size_t k = 0; k < length; ++k) {
        material[k] = static_cast<unsigned char>(k);
    }
    return material;
}

// Test names from the "what" field of a table row.
struct CaseName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& row) const {
        std::string name = row.param.what;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    }
};

template <typename Utils>
class KeyFolderFixtureT : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(KeyDir().c_str(), 0700), 0);
        ASSERT_EQ(utils.InitCreate(nullptr), kNoErr);
        ASSERT_EQ(utils.SetKeyFolderPath(tmp.path().c_str()), kNoErr);
        ASSERT_EQ(crypto.InitCreate(&utils), kNoErr);
    }
    void TearDown() override { crypto.Kill(); }

    std::string KeyDir() const { return tmp.path() + "Clefs/"; }
    std::string KeyPath(const std::string& fileName) const { return KeyDir() + fileName; }

    FileRefPtr Ref(const std::string& path) {
        auto* fileRef = new TypFileRefUnix;
        fileRef->InitCreate(&utils);
        EXPECT_EQ(fileRef->SetPath(path.c_str()), kNoErr);
        return FileRefPtr(fileRef);
    }

    // The Dupont key for 2026 (file Dupont.126) with the given material and header fields. The
    // bytes no operation interprets are not zero and all differ in the reserve (byte k is k),
    // so a header copy that clears, drops or reorders any of them shows.
    testsupport::KeyFileContents DupontKey(std::vector<unsigned char> material, int32_t keyOffset,
                                           int32_t useCount = 0) const {
        testsupport::KeyFileContents contents;
        contents.name = "Dupont";
        contents.year = 2026;
        contents.material = std::move(material);
        contents.keyOffset = keyOffset;
        contents.useCount = useCount;
        contents.countingReserve = true;
        contents.tailFill = 0xC3;
        return contents;
    }

    testsupport::TempDir tmp;
    Utils utils;
    TypCryptoUnix crypto;
};

using KeyFolderFixture = KeyFolderFixtureT<TypUtilsUnix>;

}  // namespace cryptotest

#endif
