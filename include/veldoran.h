// Veldoran's public header: every class, constant and entry function a host program uses.
// The result codes and the pipeline entry functions are plain C; the classes need C++.
// Buffers the memory entry functions hand back (crypterbinaireMem2, decrypterbinaireMem2)
// belong to the caller, who releases them with free(); a failed call hands back none.
// A host that names a key journal once (veldoranSetKeyJournal, pipelines/KeyJournal.h) has
// every encryption checked against it: a key file behind it fails with kKeyRewound (-17), a
// journal that cannot be trusted with kJournalErr (-18), nothing spent either way.
// A host that opens its targets itself writes the file pipelines' results through a sink of its
// own (veldoran::TargetSink, platform/TargetSink.h) with the *Into calls.
// After a failed call, veldoranLastFailure (platform/FailureReport.h) tells what failed: the
// file (source, target, master key, sender's key, a key file the message names, the journal),
// its path, the errno of the failing system call (0 when the data was at fault) and the step.
// Every entry function starts the calling thread's report afresh; a call that succeeds leaves
// it empty. A key use hook refuses a run with kKeyUseRefused (-19), naming the key concerned
// (veldoranRefuseKeyUse, pipelines/KeyUse.h).
// The format facts a program may need come from their owners here: the key header's size,
// byte order, reading and the rule for a key file's header (crypto/TypKeyHeader.h), the start
// of a key comment line (crypto/TypCrypto.h), the armour's marker lines (armour/TypBinASCII.h)
// and the recipient block's (armour/MessageLayout.h).
// A program that reads and writes documents in its user's charset converts them to and from the
// Windows-1252 documents are made of, and checks what a message carries back exactly, with
// veldoran::UserTextReader and UserTextWriter (armour/UserText.h).
#ifndef VELDORAN_H
#define VELDORAN_H

#include "pipelines/BinaryPipelines.h"
#include "pipelines/KeyJournal.h"
#include "pipelines/KeyUse.h"
#include "pipelines/Progress.h"
#include "pipelines/TextDecryption.h"
#include "pipelines/TextEncryption.h"
#include "pipelines/TextMemory.h"
#include "platform/FailureReport.h"
#include "platform/ResultCodes.h"

#ifdef __cplusplus
#include "armour/MessageLayout.h"
#include "armour/TypBinASCII.h"
#include "armour/UserText.h"
#include "attachments/TypInfo.h"
#include "attachments/TypPieceJointe.h"
#include "crypto/JournalFile.h"
#include "crypto/TypCrypto.h"
#include "crypto/TypCryptoUnix.h"
#include "crypto/TypKeyHeader.h"
#include "platform/TargetSink.h"
#include "platform/TypFileRef.h"
#include "platform/TypFileRefUnix.h"
#include "platform/TypUtils.h"
#include "platform/TypUtilsUnix.h"
#endif

#endif
