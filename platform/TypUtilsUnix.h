// The utility object the pipelines create: heap memory, block copies, the key folder, the
// year text and key file references on this platform.
#ifndef VELDORAN_PLATFORM_TYPUTILSUNIX_H
#define VELDORAN_PLATFORM_TYPUTILSUNIX_H

#include <stddef.h>
#include <stdint.h>

#include "platform/ResultCodes.h"
#include "platform/TypUtils.h"

class TypUtilsUnix : public TypUtils {
  public:
    int32_t InitCreate(unsigned char* unused) override;
    unsigned char* MyNewPtr(uint32_t size) override;
    void MyDisposeptr(unsigned char** block, uint32_t length) override;
    void MyBlockMove(const void* source, void* destination, uint32_t count) override;
    TypFileRef* GetFileRefForKeyName(const char* name) override;

    // The current local year as the key files name it: years since 1900, plus 100 up to 89.
    // destination holds at least 12 bytes.
    virtual void GetYearAsText(char* destination);
    // kOtherErr, with the old path kept, for a text longer than 255 characters.
    virtual int32_t SetKeyFolderPath(const char* path);

    // The year rule for any number of years since 1900 (126 for 2026, 99 for 1999, 189 for 1989
    // and for 2089); destination holds at least 12 bytes.
    static void FormatYearText(int32_t yearsSince1900, char* destination);

    char keyFolderPath[kMaxPathLength + 1] = {};

    // Blocks of this size or more hold whole documents.
    static constexpr uint32_t kLargeBlock = 4u << 20;
    // Clears the first length bytes of a heap block (from AllocateBlock or malloc; at most its
    // size) and gives it back to the heap; null does nothing.
    static void WipeAndFree(unsigned char* block, size_t length);

  protected:
    // Heap memory of capacity bytes (at least 1), not filled; where the used bytes from its
    // start make a large block, the whole 2 MiB pages among them are offered huge pages up to
    // the size where that still pays. Null when memory is short. Given back with WipeAndFree().
    static unsigned char* AllocateBlock(size_t capacity, size_t used);
    // AllocateBlock with every byte taken as used.
    static unsigned char* AllocateBlock(size_t capacity) {
        return AllocateBlock(capacity, capacity);
    }
};

#endif
