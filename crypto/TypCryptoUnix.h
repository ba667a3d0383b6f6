// The cipher class the pipelines create on this platform; it adds nothing to TypCrypto.
#ifndef VELDORAN_CRYPTO_TYPCRYPTOUNIX_H
#define VELDORAN_CRYPTO_TYPCRYPTOUNIX_H

#include "crypto/TypCrypto.h"

class TypCryptoUnix : public TypCrypto {
  public:
    ~TypCryptoUnix() override;
};

#endif
