// Veldoran's public header: every class, constant and entry function a host program uses.
// The result codes and the pipeline entry functions are plain C; the classes need C++.
// Buffers the memory entry functions hand back (crypterbinaireMem2, decrypterbinaireMem2)
// belong to the caller, who releases them with free(); a failed call hands back none.
#ifndef VELDORAN_H
#define VELDORAN_H

#include "pipelines/BinaryPipelines.h"
#include "pipelines/KeyJournal.h"
#include "pipelines/KeyUse.h"
#include "pipelines/Progress.h"
#include "pipelines/TextDecryption.h"
#include "pipelines/TextEncryption.h"
#include "pipelines/TextMemory.h"
#include "platform/ResultCodes.h"

#ifdef __cplusplus
#include "armour/TypBinASCII.h"
#include "attachments/TypInfo.h"
#include "attachments/TypPieceJointe.h"
#include "crypto/JournalFile.h"
#include "crypto/TypCrypto.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "platform/TypFileRef.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtils.h"
#include "platform/TypUtilsUnix.h"
#endif

#endif
