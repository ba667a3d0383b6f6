// The key header's byte order, the one conversion every reader and writer of headers uses.
#include "crypto/TypKeyHeader.h"

#include "platform/TypUtils.h"

void veldoran::SwapHeaderNumbers(TypUtils* utils, TypKeyHeader* header) {
    utils->swaplong(&header->version);
    utils->swaplong(&header->year);
    utils->swaplong(&header->idLen);
    utils->swaplong(&header->nameLen);
    utils->swaplong(&header->keyLen);
    utils->swaplong(&header->keyOffset);
    utils->swaplong(&header->useCount);
}
