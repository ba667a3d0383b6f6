// The per-file information record of the attachment container. The container reads storedSize
// alone; every other field belongs to the caller and travels through a container block unchanged.
#ifndef VELDORAN_ATTACHMENTS_TYPINFO_H
#define VELDORAN_ATTACHMENTS_TYPINFO_H

#include <stdint.h>

// In an object the fields are in host order. In a block they take ksizeofTypInfo (48) bytes,
// big-endian, in declaration order, with two reserved zero bytes after short3 and after short6
// (TypPieceJointe::InternalFillBufferFromInfo lays them out).
struct TypInfo {
    int16_t short1 = 0;
    int16_t short2 = 0;
    int16_t short3 = 0;
    int32_t long1 = 0;
    int16_t short4 = 0;
    int16_t short5 = 0;
    int16_t short6 = 0;
    int32_t long2 = 0;
    int32_t long3 = 0;
    int32_t long4 = 0;
    int32_t long5 = 0;
    int32_t long6 = 0;
    // In an object: the bytes held for the entry. In a block: the data bytes after its name.
    int32_t storedSize = 0;
    int32_t long7 = 0;
};

#endif
