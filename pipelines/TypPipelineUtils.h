// The utility object the pipelines create: TypUtilsUnix tuned for whole documents. A document
// passes through several blocks of about its own size, one form after the other, and faulting
// fresh memory in for each costs more than the encryption itself. So the last large block given
// back is kept and handed out again for the next large request it can hold (each large block
// is made with room for the later forms of the document), and large blocks ask for huge pages
// only up to the size where those still paid off when measured. Blocks are filled with spaces
// and given back by MyDisposeptr as with any utility object; at most one spare block is kept,
// and it is wiped and released before a larger block is allocated and when the object is
// deleted.
#ifndef VELDORAN_PIPELINES_TYPPIPELINEUTILS_H
#define VELDORAN_PIPELINES_TYPPIPELINEUTILS_H

#include <stddef.h>
#include <stdint.h>

#include "platform/TypUtilsUnix.h"

class TypPipelineUtils : public TypUtilsUnix {
  public:
    TypPipelineUtils() = default;
    ~TypPipelineUtils() override;

    unsigned char* MyNewPtr(uint32_t size) override;
    void MyDisposeptr(unsigned char** block, uint32_t length) override;

  private:
    unsigned char* spare_ = nullptr;
    size_t spareCapacity_ = 0;
    // Bytes of the spare block its last user held, wiped when it goes back to the heap.
    size_t spareUsed_ = 0;
};

#endif
