// Internal: the key journal's policy, in one place for every caller. The sender's step records
// the ranges an encryption spends; a decryption notes the ranges its frame names as it reads
// them; the audit, the accept and the merge serve the user who looks after the journal. Each
// hands its findings back as plain structs for the caller to word or print; the C calls of
// pipelines/KeyJournal.h word them for a host.
#ifndef VELDORAN_PIPELINES_KEYJOURNALCORE_H
#define VELDORAN_PIPELINES_KEYJOURNALCORE_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/JournalFile.h"
#include "crypto/LockedKeyFile.h"
#include "crypto/Sha256.h"
#include "crypto/TypKeyHeader.h"
#include "pipelines/KeyJournal.h"

class TypUtils;

namespace veldoran {

class FrameKey;

// The journal named for the process (veldoranSetKeyJournal); "" for none.
std::string NamedJournal();

// One held key as the key journal sees it: its path and the stream length the run takes.
struct JournalUse {
    const char* path;
    const veldoran::LockedKeyFile* key;
    uint32_t length;
};

// The key journal's part in spending keys: with the keys locked and before either header is
// rewritten, Record checks each key against its last record, then appends the ranges and syncs
// them; once both headers are on disk, Confirm appends that they were spent (unsynced: a crash
// that loses it leaves the headers ahead, in step with the sent records). The journal stays
// locked from Record to the end of the object.
class JournalStep {
  public:
    // 0 when no journal is named or all went in; kKeyRewound for a key behind the journal,
    // kJournalErr for a journal refused, -1 when a key's material cannot be read; on any of
    // these nothing is appended.
    int32_t Record(TypUtils* utils, const JournalUse* layers, uint32_t count);
    void Confirm();
    // Whether a journal is named for the process's encryptions.
    static bool Named();

  private:
    std::unique_ptr<JournalFile> journal_;
    JournalRecord records_[2];
    uint32_t count_ = 0;
};

// Adds a finding to the calling thread's (veldoranKeyJournalFinding).
void AddFinding(VeldoranFindingKind kind, const std::string& file, const std::string& words,
                int32_t code = 0);
// Empties the calling thread's findings: every entry function starts with it.
void StartJournalFindings();

// One decryption's note of what it read, made while it reads: the frame hashed as it passes,
// then, once both layers came off, each layer's range noted in the journal against the reads
// before it. Inert when no journal is named or reads are not noted (veldoranSetKeyJournalReads).
class ReadNote {
  public:
    ReadNote();
    bool On() const { return !journal_.empty(); }
    // The next count bytes of the outer frame, as they stand before any layer comes off.
    void Add(const unsigned char* frame, size_t count) {
        if (On()) {
            digest_.Add(frame, count);
        }
    }
    // After both layers came off the whole frame of outerLength bytes: headers holds the
    // frame's two key headers in stored order, the inner one uncovered, and user and master are
    // the key files they named, still open. What it finds is the thread's findings
    // (kVeldoranFindingRead); it never fails the decryption.
    void Note(TypUtils* utils, const unsigned char* headers, const FrameKey& user,
              const FrameKey& master, uint32_t outerLength);

  private:
    std::string journal_;
    Sha256 digest_;
};

// A record's machine in words: "this machine" for the journal's own (own), else "machine "
// and the first eight hex digits of its id.
std::string MachineText(const JournalRecord& record, const unsigned char* own);
// A time as "YYYY-MM-DD HH:MM:SS UTC".
std::string TimeText(uint64_t seconds);

}  // namespace veldoran

#endif
