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

/* Whether the process's decryptions note what they read in the journal named: on (non-zero),
 * every decryption (text and binary, from files, streams and buffers) that took both key layers
 * off notes each layer's range with the frame's digest, and compares it with every message read
 * before from the same key; the same message read again is no new read. What it finds (a range
 * another message took too, a journal that cannot be written) never fails the decryption: it is
 * a finding (veldoranKeyJournalFindings). Off at the start, so that a host that named a journal
 * for its encryptions keeps decryptions that only read; veldoran-tool turns it on. 0. */
int32_t veldoranSetKeyJournalReads(int32_t on);

/* The findings of the calling thread's last run: how many, and each in one line without a line
 * end ("" for an index outside). Valid until the thread's next run. */
int32_t veldoranKeyJournalFindings(void);
const char* veldoranKeyJournalFinding(int32_t index);

/* After a run of the calling thread failed with kKeyRewound (-17) or kJournalErr (-18): what
 * happened, in one line without a line end: the key file and the range its header would have
 * used again, or the journal and why it was refused. "" otherwise. Valid until the thread's
 * next run. */
const char* veldoranKeyJournalProblem(void);

#ifdef __cplusplus
}
#endif

#endif
