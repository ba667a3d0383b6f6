// The platform cipher class; its destructor lives here so that the class has one home.
#include "crypto/TypCryptoUnix.h"

TypCryptoUnix::~TypCryptoUnix() = default;
