// A memory block owned by one holder and given back on every way out: a block from a utility
// object (MyNewPtr), given back through the same object, or a block from the heap as the
// memory entry functions hand their results over (the caller's to free()), wiped and freed. A
// block that held key material is wiped before it goes back, whatever the utility object does.
#ifndef VELDORAN_PLATFORM_OWNEDBLOCK_H
#define VELDORAN_PLATFORM_OWNEDBLOCK_H

#include <stdint.h>

class TypUtils;

namespace veldoran {

// What a block holds, where that decides how it goes back.
enum class BlockContent {
    kAny,          // given back as the utility object gives every block back
    kKeyMaterial,  // key material or key stream: wiped first
};

class OwnedBlock {
  public:
    // Heap blocks (malloc), as a memory entry function hands its result over.
    OwnedBlock() = default;
    // Blocks that utils (not owned) makes and takes back.
    explicit OwnedBlock(TypUtils* utils, BlockContent content = BlockContent::kAny)
        : utils_(utils), content_(content) {}
    ~OwnedBlock() { Dispose(); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    // The utility object of a holder that learns it after it was made; nothing is held yet.
    void SetUtils(TypUtils* utils);

    // The variables an operation that produces a block writes through.
    unsigned char** Pointer() { return &data_; }
    uint32_t* Length() { return &length_; }
    unsigned char* data() const { return data_; }
    uint32_t length() const { return length_; }

    // A new block of size bytes, every byte a space, in place of the one held. 0, or -7 with
    // nothing held.
    int32_t Allocate(uint32_t size);
    // Allocate for a block whose every byte the caller writes before reading any: not filled
    // with spaces first (platform/UnfilledBlock.h).
    int32_t AllocateUnfilled(uint32_t size);

    // Takes over the block a call handed to the caller's variables, which are cleared, in place
    // of the one held.
    void Adopt(unsigned char** block, uint32_t* length);
    // The same for a NUL-terminated text (a heap block of its length and the NUL).
    void AdoptText(char** text);

    // Gives the block back; nothing is held after.
    void Dispose();

    // Hands the block and its length over to a new owner, which disposes of it.
    void HandOver(unsigned char** block, uint32_t* length) {
        *length = length_;
        *block = Release();
    }

    // Hands the block over to a new owner, which disposes of it.
    unsigned char* Release() {
        unsigned char* block = data_;
        data_ = nullptr;
        length_ = 0;
        return block;
    }

  private:
    TypUtils* utils_ = nullptr;  // null: a heap block
    BlockContent content_ = BlockContent::kAny;
    unsigned char* data_ = nullptr;
    uint32_t length_ = 0;
};

}  // namespace veldoran

#endif
