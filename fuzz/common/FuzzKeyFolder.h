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

}  // namespace fuzzsupport

#endif
