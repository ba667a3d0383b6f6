// Blocks that are overwritten whole right after they are made need not be filled with spaces
// first: for a document's block the fill, and the fresh pages it touches, cost more than the
// work done in it. MyNewPtr keeps its contract for every caller; the library's own code asks
// for such a block through NewUnfilledBlock, which still calls the utility object's MyNewPtr
// (so that an object which counts or refuses allocations sees the request) and only tells the
// library's own utility objects, for that call, that the fill may be left out.
#ifndef VELDORAN_PLATFORM_UNFILLEDBLOCK_H
#define VELDORAN_PLATFORM_UNFILLEDBLOCK_H

#include <stdint.h>

class TypUtils;

namespace veldoran {

// utils->MyNewPtr(size), its content left as the heap gives it where utils is one of the
// library's own utility objects. The caller writes every byte before reading any. Null when
// memory is short.
unsigned char* NewUnfilledBlock(TypUtils* utils, uint32_t size);

// Whether the MyNewPtr running on this thread was asked through NewUnfilledBlock.
bool FillLeftOut();

}  // namespace veldoran

#endif
