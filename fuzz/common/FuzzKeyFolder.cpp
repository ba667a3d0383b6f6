// The fuzz targets' fixed key folder, written with the tests' key-file writer.
#include "common/FuzzKeyFolder.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/FuzzTarget.h"
#include "support/CurrentYear.h"
#include "support/KeyFileWriter.h"

namespace fuzzsupport {

std::vector<FuzzKey> FuzzKeys() {
    struct Shape {
        const char* name;
        int32_t keyLen;
        size_t materialBytes;
    };
    const Shape shapes[] = {{"Dupont", 97, 97}, {"Solo", 1, 1}, {"Court", 300, 40}, {"Vide", 0, 8}};
    std::vector<FuzzKey> keys;
    uint32_t seed = 0x2545F491u;
    for (const Shape& shape : shapes) {
        FuzzKey key;
        key.name = shape.name;
        key.keyLen = shape.keyLen;
        key.material = testsupport::RandomBytes(shape.materialBytes, seed++);
        keys.push_back(key);
    }
    return keys;
}

std::string MakeFuzzKeyFolder(std::vector<FuzzKey>* keys) {
    char pattern[] = "/tmp/veldoran-fuzz-keys-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        Fail();
    }
    const std::string folder = std::string(pattern) + "/";
    if (mkdir((folder + "Clefs").c_str(), 0700) != 0) {
        Fail();
    }
    for (FuzzKey& key : *keys) {
        testsupport::KeyFileContents contents;
        contents.year = kFuzzKeyYear;
        contents.id = "ID42";
        contents.name = key.name;
        contents.keyLen = key.keyLen;
        contents.keyOffset = 3;
        contents.useCount = 17;
        contents.material = key.material;
        key.path = folder + "Clefs/" + key.name + "." + std::to_string(kFuzzKeyYear - 1900);
        if (!testsupport::WriteKeyFile(key.path, contents)) {
            Fail();
        }
        key.contents = testsupport::ReadWholeFile(key.path);
    }
    return folder;
}

void RemoveFuzzKeyFolder(const std::string& folder, const std::vector<FuzzKey>& keys) {
    for (const FuzzKey& key : keys) {
        unlink(key.path.c_str());
    }
    rmdir((folder + "Clefs").c_str());
    rmdir(folder.c_str());
}

bool FuzzKeysUnchanged(const std::vector<FuzzKey>& keys) {
    for (const FuzzKey& key : keys) {
        if (testsupport::ReadWholeFile(key.path) != key.contents) {
            return false;
        }
    }
    return true;
}

RoundTripKeys MakeRoundTripKeys(const std::string& folder) {
    RoundTripKeys keys;
    const std::string year = testsupport::CurrentYearText();
    keys.masterPath = folder + "Clefs/Master." + year;
    keys.senderPath = folder + "Clefs/" + kRoundTripSender + "." + year;
    testsupport::KeyFileContents contents;
    contents.year = testsupport::CurrentFullYear();
    // Lengths that no power of two divides, so that runs wrap around them at varied points.
    contents.name = "Master";
    contents.material = testsupport::RandomBytes(4099, 11);
    if (!testsupport::WriteKeyFile(keys.masterPath, contents)) {
        Fail();
    }
    contents.name = kRoundTripSender;
    contents.material = testsupport::RandomBytes(61, 12);
    if (!testsupport::WriteKeyFile(keys.senderPath, contents)) {
        Fail();
    }
    Reread(&keys);
    return keys;
}

void Reread(RoundTripKeys* keys) {
    keys->master = testsupport::ReadWholeFile(keys->masterPath);
    keys->sender = testsupport::ReadWholeFile(keys->senderPath);
}

bool RoundTripKeysUnchanged(const RoundTripKeys& keys) {
    return testsupport::ReadWholeFile(keys.masterPath) == keys.master &&
           testsupport::ReadWholeFile(keys.senderPath) == keys.sender;
}

void RemoveRoundTripKeys(const RoundTripKeys& keys) {
    unlink(keys.masterPath.c_str());
    unlink(keys.senderPath.c_str());
}

namespace {

void RemoveSharedKeyFolder() {
    const KeyFolder& folder = SharedKeyFolder();
    RemoveRoundTripKeys(folder.roundTrip);
    RemoveFuzzKeyFolder(folder.folder, folder.keys);
}

}  // namespace

KeyFolder& SharedKeyFolder() {
    static KeyFolder* folder = [] {
        auto* made = new KeyFolder;
        made->keys = FuzzKeys();
        made->folder = MakeFuzzKeyFolder(&made->keys);
        made->roundTrip = MakeRoundTripKeys(made->folder);
        return made;
    }();
    static const bool cleanupRegistered = atexit(RemoveSharedKeyFolder) == 0;
    (void)cleanupRegistered;
    return *folder;
}

bool KeysUnchanged(const KeyFolder& folder) {
    return FuzzKeysUnchanged(folder.keys) && RoundTripKeysUnchanged(folder.roundTrip);
}

}  // namespace fuzzsupport
