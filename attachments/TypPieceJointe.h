// The attachment container: a sender, a recipient text and up to knbmaxpj files, each with its
// name and TypInfo record, packed into one big-endian container block, the file data stored as
// is (format 1) or as one LZO1X-1 stream each (format 2). A block comes from strangers by mail:
// LoadStruct treats it as hostile and never reads or writes outside what it was given.
//
// Container block (every number big-endian, signed 32-bit unless noted):
//   0        "VELD-200"                 (kMagic, no terminator)
//   8        format code
//   12       sender field, 64 bytes     (text, zero byte, then zeros)
//   76       recipient length L         (at most klenmaxdest - 1)
//   80       recipient text, L bytes    (no terminator)
//   80 + L   file count N               (0 to knbmaxpj)
//   N entries: 48-byte TypInfo record, name length K, K name bytes, storedSize data bytes
//   last     end marker 0               (written; a reader does not need it)
// Up to kMaxMagicOffset bytes of other content may stand before the magic.
#ifndef VELDORAN_ATTACHMENTS_TYPPIECEJOINTE_H
#define VELDORAN_ATTACHMENTS_TYPPIECEJOINTE_H

#include <stddef.h>
#include <stdint.h>

#include "attachments/TypInfo.h"
#include "platform/ResultCodes.h"

class TypUtils;

class TypPieceJointe {
  public:
    // Sizes of the block's parts; every user of the format asks here.
    static constexpr char kMagic[] = "VELD-200";
    static constexpr int32_t kMagicSize = 8;
    static constexpr int32_t kSenderFieldSize = 64;
    // Magic, format code, sender field and recipient length: the bytes before the recipient.
    static constexpr int32_t kHeaderSize = kMagicSize + 4 + kSenderFieldSize + 4;
    static constexpr int32_t kFileCountSize = 4;
    static constexpr int32_t kEndMarkerSize = 4;
    // A block without recipient text and without entries.
    static constexpr int32_t kEmptyBlockSize = kHeaderSize + kFileCountSize + kEndMarkerSize;
    static constexpr int32_t kRecordSize = ksizeofTypInfo;
    // The record and the name length in front of each entry's name.
    static constexpr int32_t kEntryHeaderSize = kRecordSize + 4;
    // LoadStruct looks for the magic only in the first kMagicSearchSpan bytes, so it may start
    // at offsets 0 to kMaxMagicOffset; a block of kMagicSearchSpan bytes or fewer never loads.
    static constexpr int32_t kMagicSearchSpan = 72;
    static constexpr int32_t kMaxMagicOffset = kMagicSearchSpan - kMagicSize;
    // The most bytes any reader decompresses one entry into, hence the longest data that
    // AddBlock compresses.
    static constexpr int32_t kMaxDecompressedSize = kLZOMacDataSize;
    // The most bytes one LZO1X-1 stream of length input bytes takes.
    static size_t CompressedBound(size_t length);

    TypPieceJointe() = default;
    TypPieceJointe(const TypPieceJointe&) = delete;
    TypPieceJointe& operator=(const TypPieceJointe&) = delete;

    // The virtual slot order is part of the design: do not reorder.

    // InitCreate, then the format code, taken as given (1 stores data as is, 2 compresses it,
    // any other code is written into the block and otherwise handled like 1). kNoErr.
    virtual int32_t InitCreate2(TypUtils* theUtils, int32_t theFormat);
    // Copies the text (null counts as empty), cut after its 63rd byte; the rest of the field is
    // zero.
    virtual void SetExpediteur(const char* text);
    // Copies the sender text and its zero byte into text (at least 200 bytes).
    virtual void GetExpediteur(char* text);
    // Copies the text (null counts as empty), cut after its 9999th byte.
    virtual void SetDestinataire(const char* text);
    // Appends an entry: a copy of *info (required) with storedSize set, a copy of fileName
    // (required; may be empty) and length bytes of fileData (null only when length is 0). The
    // data must come from this container's utility object.
    //   kNoErr           the entry is appended and *info->storedSize holds its held length.
    //                    With format 2 the data is compressed into a new block and fileData is
    //                    released; otherwise the entry holds fileData itself. Either way the
    //                    caller no longer uses or releases fileData.
    //   kErrLZOInit, kErrLZOCompress
    //                    the entry is still appended and counted, with its name and record but
    //                    without data and with storedSize 0; the caller keeps fileData and
    //                    *info is unchanged.
    //   kAttachmentToBig format 2 and more than kMaxDecompressedSize bytes, which no reader
    //                    could decompress again;
    //   kOtherErr        the container holds knbmaxpj entries already, or length is negative, or
    //                    fileData is null with a positive length;
    //   kMemErr          a block cannot be allocated.
    //                    In these three cases nothing changes: no entry, *info and fileData as
    //                    they were, the caller keeps fileData.
    virtual int32_t AddBlock(TypInfo* info, unsigned char* fileData, int32_t length,
                             const char* fileName);
    // Fills a fresh container from the length bytes at block; the block stays the caller's.
    // Every entry is measured (a compressed one by decompressing it into one scratch buffer,
    // as long as the longest entry, that no entry keeps) before anything is allocated for any
    // of them. Stops at the first thing wrong; every
    // entry loaded before it is complete and Kill releases it, nothing is read outside the block
    // and nothing written outside an allocation.
    //   kNoErr           loaded; also when no magic stands in the first kMagicSearchSpan bytes
    //                    (or the block is not longer than that): then nothing changes and
    //                    GetNbFiles stays 0.
    //   kAttachmentToBig the entries' data together would take more than the load bound
    //                    (SetLoadBound, 1 GiB unless set): nothing is allocated, the format
    //                    code, sender and recipient are loaded and GetNbFiles is 0.
    //   kFrameTooShort   the block ends inside a field, a name or an entry's data.
    //   kNonVeldoranedAttachement
    //                    a recipient length above 9999 or below 0 (the format code and the
    //                    sender are loaded), a file count outside 0 to knbmaxpj, or a negative
    //                    name length or storedSize.
    //   kMemErr          a name or data block cannot be allocated.
    //   kErrLZOCompress  (format 2) an entry's stream does not decompress within
    //                    kMaxDecompressedSize bytes; that entry keeps its stored bytes (and
    //                    counts with them towards the bound) and the load goes on. The first
    //                    such failure is reported.
    //   kErrLZOInit      (format 2) the LZO library cannot start; entries keep stored bytes.
    // With format 2 the loaded entries hold their decompressed data: GetStruct then writes
    // them with format code 1, so that its block loads back to the same entries.
    virtual int32_t LoadStruct(const unsigned char* block, int32_t length);
    // Writes the container block into a new block from the utility object's MyNewPtr, handed
    // to the caller (*block, *length), who releases it with MyDisposeptr. The object is not
    // changed. kNoErr; kMemErr (with *block null and *length 0) when it cannot be allocated;
    // kAttachmentToBig (likewise) when the block would exceed INT32_MAX bytes.
    virtual int32_t GetStruct(unsigned char** block, int32_t* length);
    // Releases every entry's name and data through the utility object; kNoErr. The count stays;
    // a second Kill is harmless.
    virtual int32_t Kill();
    // The number of entries, counting those whose AddBlock failed to compress.
    virtual int32_t GetNbFiles();
    // Lends entry index's data and held length (the container keeps owning it; with format 2
    // the compressed stream when built, the decompressed data when loaded). kNoErr, or
    // kOtherErr with nothing written for an index outside 0 to GetNbFiles() - 1.
    virtual int32_t GetDataN(int32_t index, unsigned char** fileData, int32_t* length);
    // Reads the 48-byte record form at buffer into *info, no byte-order change.
    virtual void InternalFillInfoFromBuffer(const unsigned char* buffer, TypInfo* info);
    // Lays *info into the 48-byte record form at buffer, no byte-order change; the reserved
    // pairs at offsets 6 and 18 are written as zero.
    virtual void InternalFillBufferFromInfo(const TypInfo* info, unsigned char* buffer);
    // Converts every numeric field between host order and big-endian, in place; its own inverse.
    virtual void SwapInfoBlock(TypInfo* info);
    // Keeps the utility object (not owned, used for every block and byte-order question);
    // format 1, empty sender and recipient, no entries. kNoErr.
    virtual int32_t InitCreate(TypUtils* theUtils);

    virtual ~TypPieceJointe() = default;

    // Readers for programs that show or unpack a loaded container. They are not virtual, so
    // the designed slots keep their order.

    // True when LoadStruct would find a container in the length bytes at block: the magic
    // stands within the first kMagicSearchSpan bytes of a block longer than that.
    bool HoldsContainer(const unsigned char* block, int32_t length) const;
    // The format code as loaded or given to InitCreate2.
    int32_t GetFormat() const { return format; }
    // Copies the recipient text and its zero byte into text (at least klenmaxdest bytes).
    void GetDestinataire(char* text) const;
    // Lends entry index's name (zero-terminated; the container keeps owning it) and copies its
    // record into *info (may be null). kNoErr, or kOtherErr with nothing written for an index
    // outside 0 to GetNbFiles() - 1.
    int32_t GetNameN(int32_t index, const char** fileName, TypInfo* info) const;
    // The same, with the number of bytes of the name in *nameLength (may be null): a name read
    // from a block may hold a zero byte, which its zero-terminated text would hide.
    int32_t GetNameN(int32_t index, const char** fileName, int32_t* nameLength,
                     TypInfo* info) const;

    // The most bytes the entries' data may take together in one LoadStruct, kDefaultLoadBound
    // (1 GiB) unless set; InitCreate keeps it. One entry is at most kMaxDecompressedSize bytes,
    // but a compressed block of a few megabytes can declare a thousand such entries.
    static constexpr int64_t kDefaultLoadBound = int64_t{1} << 30;
    void SetLoadBound(int64_t bytes) { loadBound = bytes; }
    int64_t GetLoadBound() const { return loadBound; }

    // For a reader that takes one entry at a time out of a block it keeps: loads what
    // LoadStruct loads except the entries' data, which stays in the block. The names, records
    // and lengths (GetLengthN) are there, measured through one scratch buffer; the entries
    // hold no data (GetDataN lends null and 0) until ReadEntryN copies one out. Results as
    // LoadStruct's, but nothing is allocated for data, so kAttachmentToBig never comes.
    int32_t LoadIndex(const unsigned char* block, int32_t length);
    // The length of entry index's data: what it holds after LoadStruct or AddBlock, and what
    // ReadEntryN gives after LoadIndex (with format 2 the decompressed length, or the stored
    // length of a stream that does not decompress). kNoErr, or kOtherErr with nothing written
    // for an index outside 0 to GetNbFiles() - 1.
    int32_t GetLengthN(int32_t index, int32_t* length) const;
    // Copies entry index's data, decompressed with format 2, out of the block last given to
    // LoadIndex or LoadStruct (block and length as given then, still unchanged) into buffer,
    // which holds capacity bytes; *produced receives its length.
    //   kNoErr
    //   kOtherErr        an index out of range, an entry not read from a block, a length other
    //                    than the block's, or a capacity below the entry's GetLengthN.
    //   kErrLZOCompress, kErrLZOInit
    //                    the entry's stream does not decompress; buffer holds nothing usable.
    int32_t ReadEntryN(const unsigned char* block, int32_t length, int32_t index,
                       unsigned char* buffer, int32_t capacity, int32_t* produced) const;
    // For a container whose entries are stored as they are (any format but 2): lends entry
    // index's data where it stands in the block last given to LoadIndex or LoadStruct (block
    // and length as given then), so that a reader writes it out without a copy. kNoErr with
    // *entryData and *dataLength set (*entryData may be null for an empty entry); kOtherErr, with
    // nothing written, for an index out of range, an entry not read from a block, a length other
    // than the block's, or a container whose entries are compressed (ReadEntryN gives those).
    int32_t StoredEntryN(const unsigned char* block, int32_t length, int32_t index,
                         const unsigned char** entryData, int32_t* dataLength) const;

  private:
    // Where an entry read from a block stands in it, and what its data comes to.
    struct Located {
        int32_t nameAt = -1;  // -1: the entry was not read from a block
        int32_t dataAt = 0;
        int32_t storedLength = 0;
        // With format 2 the measured decompressed length, else (or for a stream that does not
        // decompress) the stored length.
        int32_t length = 0;
        int32_t status = kNoErr;  // kErrLZOCompress for a stream that does not decompress
    };

    // Where the magic starts in the block, or -1 when it holds no container.
    int32_t MagicOffset(const unsigned char* block, int32_t length) const;
    // The format code that GetStruct writes: the object's, except that entries decompressed
    // from a format-2 block are plain data and are written with format code 1.
    int32_t WrittenFormat() const;
    // The block's appends in order; with copySwitch 0 they only measure.
    void AppendBlock(unsigned char* block, int32_t* position, int32_t copySwitch);
    // Compresses an entry's data into a new block from the utility object.
    int32_t Compress(const unsigned char* fileData, int32_t length, unsigned char** stored,
                     int32_t* storedLength);
    // LoadStruct with data, LoadIndex without.
    int32_t Load(const unsigned char* block, int32_t length, bool withData);
    // Reads the block up to its entries' contents: the format code, sender and recipient, and
    // each entry's record with where its name and data stand and its measured length, without
    // allocating. *count receives the number of entries located whole; the result is kNoErr or
    // the code of the thing wrong after them (see LoadStruct).
    int32_t Locate(const unsigned char* block, int32_t length, int32_t* count);
    // Gives located entry index its name and, withData, its data; kNoErr or kMemErr (nothing
    // taken). *status receives the entry's decompression result.
    int32_t TakeEntry(const unsigned char* block, int32_t index, bool withData, int32_t* status);
    // Copies or decompresses located entry index into buffer, which holds its length.
    int32_t CopyEntry(const unsigned char* block, int32_t index, unsigned char* buffer,
                      int32_t* produced) const;
    // Releases every entry's name and data.
    void ReleaseEntries();

    int32_t format = kformatnoncompresse;
    char expediteur[kSenderFieldSize] = {};
    char destinataire[klenmaxdest] = {};
    int32_t nbFiles = 0;
    TypUtils* utils = nullptr;
    unsigned char* data[knbmaxpj] = {};
    int32_t sizes[knbmaxpj] = {};
    char* names[knbmaxpj] = {};
    // Bytes of each name before its terminator; a name read from a block may hold zero bytes.
    int32_t nameLengths[knbmaxpj] = {};
    TypInfo infos[knbmaxpj] = {};
    Located located[knbmaxpj] = {};
    // The length of the block the entries were located in.
    int32_t locatedLength = -1;
    int64_t loadBound = kDefaultLoadBound;
    // Set by loading a format-2 block: the entries hold decompressed data.
    bool holdsPlainData = false;
};

#endif
