// One key file held for an encryption: opened for update without waiting, refused unless it is
// a regular file, locked exclusively, its header read and checked and its key material known to
// be all there, all before any of its key stream is used. Its header is rewritten by Commit
// alone, or moved by MoveTo when the journal's owner sets a key's position on purpose; until
// then the key file stays byte for byte as it was. Closing releases the lock.
// Every encryption, of one layer or of two, holds its key files through this class, so the
// rules for spending key material live here; its key stream is read through
// veldoran::KeyStreamWindow, like every other.
#ifndef VELDORAN_CRYPTO_LOCKEDKEYFILE_H
#define VELDORAN_CRYPTO_LOCKEDKEYFILE_H

#include <stdint.h>
#include <sys/types.h>

#include "crypto/TypKeyHeader.h"

class TypFileRef;
class TypUtils;

namespace veldoran {

class LockedKeyFile {
  public:
    LockedKeyFile() = default;
    LockedKeyFile(const LockedKeyFile&) = delete;
    LockedKeyFile& operator=(const LockedKeyFile&) = delete;
    // Closes a key file still held, without writing to it.
    ~LockedKeyFile();

    // Keeps the utility object (byte order, copies) and the key file reference; neither is
    // owned, and both outlive this object. 0.
    int32_t InitCreate(TypUtils* theUtils, TypFileRef* theKeyFile);
    // Opens the key file for update, locks it and checks it. held, when not null, is a key
    // file this run already holds: the same file again (by device and inode, whatever its
    // path) is refused, since a second lock on it would wait for the first forever.
    // Results: 0 with the key file held; -1 when it cannot be opened for reading and writing,
    // is not a regular file, is the file held already, cannot be locked, is shorter than its
    // header or than 224 + keyLen bytes; -6 when its version is not 1; -8 when keyLen is below
    // 1 or keyOffset lies outside 0 to keyLen. On a failure the key file is closed again.
    int32_t Open(const LockedKeyFile* held);
    // Open for a key whose position is to be set with MoveTo: the same, except that a keyOffset
    // outside 0 to keyLen is taken (it is what a move mends), so it is never -8 for it.
    int32_t OpenToMove(const LockedKeyFile* held);
    // The 224 bytes an encryption with this key records in its frame, in stored order: the
    // header as read, with useCount raised and keyOffset where the encryption's stream begins.
    void FrameHeader(unsigned char* destination) const;
    // The header in host order as Commit(n) will write it; the key comment is made from it
    // before the commit, so that a message can be written out before its keys are spent.
    TypKeyHeader CommittedHeader(uint32_t n) const;
    // The key material position where this encryption's stream begins, and the key file (open,
    // held) for reading it through crypto/KeyStreamWindow.h, the one reader of key material.
    uint32_t StreamStart() const { return static_cast<uint32_t>(start_); }
    TypFileRef* KeyFile() const { return keyFile_; }
    // Rewrites the header for an encryption of n bytes (keyOffset advanced by n modulo keyLen,
    // useCount raised, 0 after the largest count) and puts it on stable storage. 0, or -1 when
    // the rewrite cannot be confirmed: the key material then counts as spent.
    int32_t Commit(uint32_t n);
    // Commit in two halves, for a run that puts several files on stable storage at once:
    // Rewrite writes the header for n bytes (0, or -1: the key material then counts as spent),
    // SyncRewrite puts it on stable storage (fdatasync: the rewrite leaves the size as it was)
    // and may run on another thread while nothing else uses this key file. 0 or -1.
    int32_t Rewrite(uint32_t n);
    int32_t SyncRewrite();
    // The one other rewrite of a header: the whole header, as read, with keyOffset set to
    // offset and useCount to useCount, put on stable storage like Commit's. For a key whose
    // position is accepted as it stands or moved past material used elsewhere, never as part
    // of an encryption. 0; -8 when offset lies beyond keyLen, with nothing written; -1 when the
    // rewrite cannot be confirmed.
    int32_t MoveTo(uint32_t offset, int32_t useCount);
    // The header in host order: as read, and after Commit as rewritten.
    const TypKeyHeader& Header() const { return header_; }
    // Closes the key file, which ends the lock. 0, or -1 when the close failed; 0 when nothing
    // is held.
    int32_t Close();
    // Closes a key file still held; 0.
    int32_t Kill();

  private:
    int32_t OpenChecked(const LockedKeyFile* held, bool positionMayBeDamaged);
    // Writes header (host order) over the stored one and hands it to the system. 0 or -1.
    int32_t WriteHeader(const TypKeyHeader& header);
    // Puts the rewritten header on stable storage. 0 or -1.
    int32_t SyncHeader();

    TypUtils* utils_ = nullptr;
    TypFileRef* keyFile_ = nullptr;
    bool open_ = false;
    bool hasIdentity_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    TypKeyHeader header_{};
    // Where this encryption's key stream begins: the keyOffset read.
    int32_t start_ = 0;
    // The useCount this encryption records and writes.
    int32_t recordedCount_ = 0;
};

}  // namespace veldoran

#endif
