// A small fixed key folder for the fuzz targets that decrypt, and for the program that writes
// their seeds: the same key files, written with the tests' key-file writer, so that a seed
// frame made against them decrypts when a target replays it.
#ifndef VELDORAN_FUZZ_COMMON_FUZZKEYFOLDER_H
#define VELDORAN_FUZZ_COMMON_FUZZKEYFOLDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

constexpr int32_t kFuzzKeyYear = 2026;

struct FuzzKey {
    std::string name;
    int32_t keyLen = 0;                   // as the header states it
    std::vector<unsigned char> material;  // what the file actually holds after the header
    std::string path;
    std::vector<unsigned char> contents;  // the whole file as written
};

// The four keys, all of 2026 (files <name>.126 in <folder>Clefs/): a well-formed 97-byte key
// "Dupont", a one-byte key "Solo", a key "Court" whose header claims 300 bytes while the file
// holds 40, and a key "Vide" whose header declares no material.
std::vector<FuzzKey> FuzzKeys();

// Writes the keys into a new folder under /tmp (path ending with '/'), with their paths and
// contents filled in; aborts when the folder cannot be made.
std::string MakeFuzzKeyFolder(std::vector<FuzzKey>* keys);

// Removes what MakeFuzzKeyFolder wrote.
void RemoveFuzzKeyFolder(const std::string& folder, const std::vector<FuzzKey>& keys);

// True when every key file still holds exactly what was written.
bool FuzzKeysUnchanged(const std::vector<FuzzKey>& keys);

// The two key files of the current year that an encrypting pipeline needs, for the targets'
// round trips: "Master" and the sender kRoundTripSender, written into a key folder's Clefs/.
// Encryption rewrites them; contents holds what they hold after the last Reread.
constexpr char kRoundTripSender[] = "Envoi";

struct RoundTripKeys {
    std::string masterPath;
    std::string senderPath;
    std::vector<unsigned char> master;
    std::vector<unsigned char> sender;
};

// Writes the two keys into <folder>Clefs/ (which exists); aborts when they cannot be written.
RoundTripKeys MakeRoundTripKeys(const std::string& folder);
// Takes what the key files hold now as their contents (after an encryption).
void Reread(RoundTripKeys* keys);
// True when both key files still hold exactly their contents.
bool RoundTripKeysUnchanged(const RoundTripKeys& keys);
void RemoveRoundTripKeys(const RoundTripKeys& keys);

// The decrypting targets' key folder: the fixed fuzz keys, and beside them the round-trip keys.
struct KeyFolder {
    std::string folder;  // ends with '/'
    std::vector<FuzzKey> keys;
    RoundTripKeys roundTrip;
};

// The process's one key folder, made on first use and removed when the process exits.
KeyFolder& SharedKeyFolder();
// True when every key file in it holds what it was written with or last reread as.
bool KeysUnchanged(const KeyFolder& folder);

}  // namespace fuzzsupport

#endif
