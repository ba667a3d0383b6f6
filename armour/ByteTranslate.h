// Byte-for-byte translation through a 256-entry table, shared by the text filter and the
// armour. Internal to the library. Where the processor has AVX2 the table is applied 32 bytes at
// a time, cut into rows of sixteen entries by high nibble (only the rows that change something
// cost time); elsewhere every byte is looked up.
#ifndef VELDORAN_ARMOUR_BYTETRANSLATE_H
#define VELDORAN_ARMOUR_BYTETRANSLATE_H

#include <array>
#include <cstddef>

namespace veldoran {

using ByteTable = std::array<unsigned char, 256>;

constexpr ByteTable IdentityTable() {
    ByteTable table{};
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<unsigned char>(i);
    }
    return table;
}

// The rows of a table that change something, as differences to add: row r stands for the high
// nibble high[r] and holds table[high * 16 + low] - (high * 16 + low) modulo 256 for each low.
struct TableRows {
    int count = 0;
    unsigned char high[16] = {};
    unsigned char delta[16][16] = {};
};

constexpr TableRows MakeRows(const ByteTable& table) {
    TableRows rows;
    for (int high = 0; high < 16; ++high) {
        bool changes = false;
        for (int low = 0; low < 16; ++low) {
            const int value = high * 16 + low;
            const auto delta = static_cast<unsigned char>(table[value] - value);
            rows.delta[rows.count][low] = delta;
            changes = changes || delta != 0;
        }
        if (changes) {
            rows.high[rows.count++] = static_cast<unsigned char>(high);
        }
    }
    return rows;
}

// destination[i] = table[source[i]] for i < count; rows must be MakeRows(table). source and
// destination may be the same block.
void TranslateBytes(const ByteTable& table, const TableRows& rows, const unsigned char* source,
                    unsigned char* destination, size_t count);

// TranslateBytes, which also returns the position of the first translated byte equal to sought
// (count when there is none, or when sought is -1): a search that needs a pass of its own
// otherwise is narrowed in the same loop.
size_t TranslateBytesFinding(const ByteTable& table, const TableRows& rows,
                             const unsigned char* source, unsigned char* destination, size_t count,
                             int sought);

// True when the wide paths may be used on this processor and have not been turned off with
// SetWideBytesForTesting.
bool HasWideBytes();

// For tests only: with false, HasWideBytes() answers false and every operation takes its
// byte-by-byte path; with true (the default) the processor decides again. Not thread-safe.
void SetWideBytesForTesting(bool allowed);

}  // namespace veldoran

#endif
