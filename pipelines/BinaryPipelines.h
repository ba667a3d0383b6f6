/* Encryption and decryption of arbitrary bytes, a file or a buffer, with the same two key layers
 * as messages and nothing else: no text conversion, no recipient block, no armour. What is
 * stored or handed back is the raw outer frame of n + 448 bytes for n bytes (the sender key's
 * header, then the master key's frame XOR the sender's key stream); decryption gives back
 * exactly the bytes that were encrypted. Plain C with C linkage.
 *
 * Encryption advances both key files (position and use count) before it returns; a run that
 * fails spends no key material, except when a rewritten key header cannot be put on disk.
 * Sources are only read. Targets are replaced as one step: a failed run leaves an existing
 * target exactly as it was, also when the target is the source itself.
 *
 * Trace: when trace is not 0, fixed progress lines go to the standard output; with 0 nothing
 * is printed. */
#ifndef VELDORAN_PIPELINES_BINARYPIPELINES_H
#define VELDORAN_PIPELINES_BINARYPIPELINES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Encrypts the file source into the file target, which receives the outer frame alone, with
 * the key files <keyFolder>Clefs/Master.<year> and <keyFolder>Clefs/<user>.<year>, year being
 * the years since 1900 (126 in 2026). keyFolder is "" for the current directory and ends with
 * "/" otherwise. target may be the source path.
 * Results:
 *    0   success; target holds exactly source length + 448 bytes
 *   -1   a null argument; a path longer than 255 characters (source, target or a key file);
 *        the source missing or unreadable; the target one of the two key files, a folder, an
 *        existing file that cannot be opened for reading and writing, or not creatable or
 *        writable; a key file that cannot be read or rewritten
 *   -7   memory short
 *   -9   the source is too large: its frame would reach 2^31 bytes
 *   -43  the master or the user key file is missing
 *   other negative codes of the cipher for a key file it cannot use
 * Paths, the source and the target's folder are checked before any key file is opened. */
int32_t crypterbinaire2(const char* source, const char* target, const char* user,
                        const char* keyFolder, int32_t trace);

/* crypterbinaire2 with the target source + ".vlb"; -7 when that name cannot be allocated. */
int32_t crypterbinaire(const char* source, const char* user, const char* keyFolder, int32_t trace);

/* Encrypts length bytes at data (data may be null when length is 0) into a new outer frame of
 * length + 448 bytes handed to *out and *outLength. The frame belongs to the caller, who
 * releases it with free(). Key files and results as crypterbinaire2, but -1 also for a null
 * out or outLength. On every failure *out is null and *outLength 0 (when they are not null
 * themselves): a failed run hands back neither data nor key stream. */
int32_t crypterbinaireMem2(const unsigned char* data, uint32_t length, unsigned char** out,
                           uint32_t* outLength, const char* user, const char* keyFolder,
                           int32_t trace);

/* Decrypts the file source, an outer frame, into the file named by source less its last four
 * characters (report.pdf.vlb gives report.pdf); a source path of four characters or fewer is
 * decrypted in place. Each layer's key file is the one its frame header names, looked for under
 * <keyFolder>Clefs/. Every decrypted byte is written. Key files are only read.
 * Results:
 *    0   success
 *   -1   a null argument; a path longer than 255 characters (source or key folder); the
 *        source missing or unreadable, or of 2 GiB or more; the target a folder, not
 *        replaceable or not writable, or one of the key files the frames name (by path or as
 *        the same file: decrypting Clefs/Master.126.vlb would give Clefs/Master.126), refused
 *        before anything is written; a key file that cannot be read
 *   -4   the source, or the frame inside it, is shorter than a key header
 *   -5   the key file a frame names is not found
 *   -6   a frame header is not of version 1
 *   -7   memory short
 *   -8   a frame header's key position lies beyond its key file's material */
int32_t decrypterbinaire(const char* source, const char* keyFolder, int32_t trace);

/* Decrypts length bytes at data, an outer frame, into a new buffer of length - 448 bytes handed
 * to *out and *outLength; the caller releases it with free(). data is only read (and may be
 * null when length is 0). Key files and results as decrypterbinaire, but -1 also for a null
 * out or outLength. On every failure *out is null and *outLength 0 (when they are not null
 * themselves). */
int32_t decrypterbinaireMem2(const unsigned char* data, uint32_t length, unsigned char** out,
                             uint32_t* outLength, const char* keyFolder, int32_t trace);

#ifdef __cplusplus
}

#include <functional>

#include "platform/TargetSink.h"

namespace veldoran {

/* What crypterbinaire adds to the source's name for its target, and as many characters as
 * decrypterbinaire takes off the end of its source's name. */
inline constexpr char kBinarySuffix[] = ".vlb";

/* crypterbinaire2 for a program that opens the target itself (a file written unnamed, or a
 * standard output where it stands): writer is open with nothing written yet, and targetName is
 * what the target is known by, for the check that it is none of the run's key files and for the
 * trace. The frame streams through in chunks at any size. The key material is spent before the
 * first byte goes to a writer InPlace, else once the whole frame waits in it, synced. On
 * success the writer is committed; on failure it is abandoned (Kill). Results, and what a
 * failure spends, as crypterbinaire2's; a failure of the writer gives its own code, and -1
 * also for a null argument. */
int32_t EncryptBinaryFileInto(const char* source, TargetSink* writer, const char* targetName,
                              const char* user, const char* keyFolder, int32_t trace);

/* decrypterbinaire into a target the program opened itself: writer is open with nothing written
 * yet, and targetName is what the target is known by, for the check that it is none of the
 * frames' key files and for the trace. The file streams through in chunks at any size; both
 * frame headers, and so both key files, are checked before the first byte of the file goes to
 * the writer. On success the writer is committed; on failure it is abandoned (Kill). Results
 * as decrypterbinaire's; a failure of the writer gives its own code, and -1 also for a null
 * argument. */
int32_t DecryptBinaryFileInto(const char* source, TargetSink* writer, const char* targetName,
                              const char* keyFolder, int32_t trace);

/* Takes a whole outer frame while its key files are still unchanged; 0 lets the encryption
 * spend the key material, any other code stops it there. */
using FrameWriter = std::function<int32_t(const unsigned char* frame, uint32_t length)>;

/* crypterbinaireMem2 for a host whose output can be withdrawn, such as a file written unnamed and
 * named afterwards: the finished frame goes to write before either key file's header is
 * rewritten, and nothing is handed back. A write that fails leaves both key files as they were
 * and its code is the result; 0 means write took the frame and both headers were rewritten after
 * it. Other results as crypterbinaireMem2's; -1 also for an empty write. */
int32_t EncryptBytesToWriter(const unsigned char* data, uint32_t length, const FrameWriter& write,
                             const char* user, const char* keyFolder, int32_t trace);

}  // namespace veldoran
#endif

#endif
