/* The key journal, for a host that wants every encryption it runs checked against the key
 * material already spent, and every message it reads compared with the messages read before.
 * Once a journal is named, every encrypting pipeline (text and binary, on files and on buffers)
 * compares each key's header with the journal's last record of that key, under the key locks
 * and before either header is rewritten, then appends the ranges it takes and puts them on
 * stable storage before the headers are rewritten. A key file that went back in time (copied
 * again from its original, a key folder restored from a backup, a header set back by hand) is
 * refused with kKeyRewound, nothing spent and nothing written. With reads noted as well, every
 * decryption notes the two ranges its frame names as it reads them, and a message made from
 * material another message already took is a finding: only the reader sees two machines'
 * messages side by side. The file's format is described in crypto/JournalFile.h. Plain C. */
#ifndef VELDORAN_PIPELINES_KEYJOURNAL_H
#define VELDORAN_PIPELINES_KEYJOURNAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Names the journal for every encryption of the process from now on; null or "" for none, as
 * at the start. The file is made (with its folder already there) at the first encryption. The
 * journal is locked while a run checks and appends, so runs at the same time, in threads or
 * processes, never pass on the same range. 0. */
int32_t veldoranSetKeyJournal(const char* path);

/* After a run of the calling thread failed with kKeyRewound (-17) or kJournalErr (-18), or an
 * accept or a merge failed: what happened, in one line without a line end: the key file and the
 * range its header would have used again, or the journal or key file and why it was refused.
 * "" otherwise. Valid until the thread's next run. */
const char* veldoranKeyJournalProblem(void);

/* Whether the process's decryptions note what they read in the journal named: on (non-zero),
 * every decryption (text and binary, from files, streams and buffers) that took both key layers
 * off notes each layer's range with the frame's digest, and compares it with every message read
 * before from the same key; the same message read again is no new read. What it finds (a range
 * another message took too, a journal that cannot be written) never fails the decryption: it is
 * a finding (veldoranKeyJournalFindings). Off at the start, so that a host that named a journal
 * for its encryptions keeps decryptions that only read; veldoran-tool turns it on. 0. */
int32_t veldoranSetKeyJournalReads(int32_t on);

/* What a finding of the key journal is about. */
typedef enum VeldoranFindingKind {
    kVeldoranFindingRead = 1,     /* a decryption's: key material used twice, or a read the
                                     journal could not note or check */
    kVeldoranFindingHeader = 2,   /* an audit's: the key file's position and the material left */
    kVeldoranFindingJournal = 3,  /* the journal's last position of the key, or none */
    kVeldoranFindingStanding = 4, /* the header against that position, when nothing is wrong */
    kVeldoranFindingProblem = 5,  /* something wrong: a header behind the journal, material used
                                     twice, a gap, a key file that cannot be read */
    kVeldoranFindingNote = 6      /* material used twice that was accepted since */
} VeldoranFindingKind;

typedef struct VeldoranFinding {
    int32_t kind;      /* a VeldoranFindingKind */
    int32_t code;      /* for a key file that cannot be read, the library's code; else 0 */
    const char* file;  /* the key file it concerns; "" for none. A path a message's frame named
                          comes from a stranger: a host shows it escaped. */
    const char* words; /* one line, without a line end */
} VeldoranFinding;

/* The findings of the calling thread's last run (a decryption, an audit): how many, and each,
 * in order (null for an index outside). Valid until the thread's next run. */
int32_t veldoranKeyJournalFindings(void);
const VeldoranFinding* veldoranKeyJournalFinding(int32_t index);

/* Audits each of the count key files at paths against the journal named: for each in turn, its
 * header, the journal's last position of its key, where the header stands against it, and every
 * range of its material recorded twice (on this machine, or after a merge on two) or skipped
 * (used without the journal), as findings. A journal not there yet has recorded nothing. The
 * number of problems found (0 when nothing is wrong), or kJournalErr (-18) when no journal is
 * named or it cannot be read or trusted (veldoranKeyJournalProblem says why). */
int32_t veldoranAuditKeyFiles(const char* const* paths, int32_t count);

/* Decides on the position of the key file at keyFile, recorded in the journal named (made when
 * missing) before the key file changes: with advance, the key file is moved past every range any
 * machine recorded for its key, so that nothing is used again (after a restore or a merge); else
 * its position is accepted as it stands, and the next encryption goes on from there (a test
 * folder, on purpose). *offset and *useCount (either may be null) receive the position the key
 * file stands at after. 0; kFNFErr (-43) when keyFile is not there; kOtherErr (-1) when it cannot
 * be opened as a key file, is in use by an encryption, or its header cannot be rewritten;
 * kBadKeyHeader (-6) when it is not a key file of version 1 with all its material; kJournalErr
 * (-18). veldoranKeyJournalProblem says what happened, the file first. */
int32_t veldoranAcceptKeyFile(const char* keyFile, int32_t advance, uint32_t* offset,
                              int32_t* useCount);

/* Adds to the journal named (made when missing) the records of another machine's journal at
 * otherJournal that it lacks: a union, records told apart by machine, sequence and checksum, so
 * that an audit then sees every range of a key used on both machines. *merged and *already
 * (either may be null) receive the records taken and those there already. 0; kOtherErr (-1)
 * when otherJournal is the journal named itself; kJournalErr (-18) when either journal cannot be
 * read or trusted, or the journal named cannot be written. veldoranKeyJournalProblem says why. */
int32_t veldoranMergeKeyJournal(const char* otherJournal, uint64_t* merged, uint64_t* already);

#ifdef __cplusplus
}
#endif

#endif
