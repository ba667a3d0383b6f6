// The way back shared by every text decrypting pipeline: the first armour of a text decoded,
// the sender's key layer and then the master key layer removed with the key files the frames'
// own headers name, and the message put back in the local form with its tail located.
#ifndef VELDORAN_PIPELINES_TWOKEYDECRYPTION_H
#define VELDORAN_PIPELINES_TWOKEYDECRYPTION_H

#include <stdint.h>

#include "platform/OwnedBlock.h"

class TypUtils;
class TypUtilsUnix;

namespace veldoran {

// Removes the user key layer and then the master key layer from an outer frame held whole, with
// the key files the frames' own headers name under utils' key folder (only read). frame itself
// is only read; when frameOwner is not null it is the block that holds frame, disposed of as
// soon as the user layer is off. With trace set, prints the "UnCrypt datalen2: " and
// "UnCrypt datalen: " lines. Once both layers are off, the read is noted in the key journal
// (pipelines/KeyJournalCore.h). Results: 0 with the message in *message; the cipher's codes (-4,
// -5, -6, -8, -1, -7), with *message empty and nothing left allocated.
int32_t RemoveBothLayers(TypUtils* utils, const unsigned char* frame, uint32_t length,
                         OwnedBlock* frameOwner, int32_t trace, OwnedBlock* message);

// Decodes the first armour in text[0, length) and removes both layers; the key files are found
// under utils' key folder (SetKeyFolderPath) and only read. The message (interchange form,
// recipient block and parameter text included) is handed over in *message. text itself is only
// read; when textOwner is not null it is the block that holds text, disposed of as soon as the
// armour is decoded so that the two never stand in memory beside both frames. With trace set,
// prints "UnCrypt datalen2: " and "UnCrypt datalen: " lines.
// Results: 0; the armour's codes (-3, -4); the cipher's codes (-4, -5, -6, -8, -1); -7 when
// memory is short. On any failure *message is empty and nothing is left allocated.
int32_t DecryptArmouredMessage(TypUtilsUnix* utils, const unsigned char* text, uint32_t length,
                               OwnedBlock* textOwner, int32_t trace, OwnedBlock* message);

// Turns a decrypted message into the local text form (a new block replaces the old one in
// *message) and sets *documentLength to the length of the document in front of its tail, the
// first "#DESTBEGIN#" (all of it when there is none). 0, or -7 when memory is short, with
// *message then still holding a valid block.
int32_t ToLocalDocument(TypUtilsUnix* utils, OwnedBlock* message, uint32_t* documentLength);

}  // namespace veldoran

#endif
