// Result codes and limits shared by every part of the library. Every operation that can fail
// returns one of these codes as a signed 32-bit value: 0 for success, a negative number for a
// failure. Nothing throws and there is no global error variable. Plain C, so C hosts can use it.
#ifndef VELDORAN_PLATFORM_RESULTCODES_H
#define VELDORAN_PLATFORM_RESULTCODES_H

#include <stdint.h>

enum VeldoranResultCode {
    kNoErr = 0,                       // success
    kOtherErr = -1,                   // any other failure; every failing file operation
    kFileClosed = -2,                 // a file reference that is not open
    kCRCErr = -3,                     // armour checksum differs from the decoded bytes
    kPbErr = -4,                      // armour markers missing, or too short for its length
    kFrameTooShort = -4,              // frame shorter than its key header; container cut short
    KeyNotFoundErr = -5,              // key file named by a frame's header not found
    kBadKeyHeader = -6,               // key header version is not kVersion
    kMemErr = -7,                     // a memory block or object cannot be allocated
    kOffsetOutOfRangeErr = -8,        // key length or offset outside the key material
    kFrameTooLong = -9,               // a document or frame too long for a 32-bit length
    kAttachmentToBig = -10,           // too large to compress, or a container to write or load
    kHdlNil = -11,                    // declared; nothing returns it
    kNonVeldoranedAttachement = -11,  // container block field out of range (length, file count)
    kEncapsulationFailed = -12,       // declared; nothing returns it
    kDEJATRANSITE = -12,              // declared; nothing returns it
    kErrFileCantBeCreated = -13,      // declared; nothing returns it
    kErrLZOCompress = -14,            // LZO compression or decompression of an attachment failed
    kErrLZOInit = -15,                // the LZO library cannot be initialised
    kFormatNonDisponible = -16,       // a document the message format cannot carry whole
    kKeyRewound = -17,                // a key header behind the key journal: material used before
    kJournalErr = -18,                // the key journal cannot be read, trusted or written
    kKeyUseRefused = -19,             // the host's key use hook refused the run (KeyUse.h)
    kFNFErr = -43                     // file not found: a missing key file when encrypting
};

enum VeldoranLimit {
    kVersion = 1,                // the only key header version accepted
    kLenMaxID = 32,              // bytes of the key header's identifier field
    kLenMaxName = 40,            // bytes of the key header's name field
    kNbLongReserve = 31,         // reserved 32-bit words at the end of the key header
    kLZOMacDataSize = 32000000,  // largest decompressed attachment
    kveldsizemaxpj = 20000000,   // declared largest attachment; not checked
    kformatnoncompresse = 1,     // attachment data stored as is
    kformatLZOcompresse = 2,     // attachment data LZO1X-1 compressed
    klenmaxdest = 10000,         // bytes of the container's recipient field
    knbmaxpj = 1000,             // most files one container holds
    ksizeofTypInfo = 48,         // bytes of one per-file container record
    maxfilenamelen = 32,         // declared longest file name; not checked
    debug = 0,                   // declared debugging switch, off
    kMaxPathLength = 255         // longest path a file reference or key folder holds
};

#endif
