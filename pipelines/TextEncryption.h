/* Encryption of a text file into a message file: the text in interchange form with its
 * recipient block, encrypted with the year's master key and then with the sender's key,
 * armoured into printable lines, and written behind the two keys' comment lines and an empty
 * line. Plain C with C linkage, so that C hosts and foreign-function interfaces can call it.
 *
 * Both key files have their headers advanced on disk (position and use count) before the call
 * returns, and only once the run cannot fail but in writing its result: both key files are
 * locked and checked, the target opened with its space set aside and every block obtained
 * first. The target is replaced as one step: a failed run leaves an existing target exactly as
 * it was, also when the target is the source itself, and no temporary file behind. */
#ifndef VELDORAN_PIPELINES_TEXTENCRYPTION_H
#define VELDORAN_PIPELINES_TEXTENCRYPTION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Encrypts source into target (which may be the same path) for the recipients to, cc and bcc,
 * with the key files <keyFolder>Clefs/Master.<year> and <keyFolder>Clefs/<user>.<year>, year
 * being the years since 1900 (126 in 2026). keyFolder is "" for the current directory and ends
 * with "/" otherwise. When trace is not 0, progress lines go to the standard output.
 * Results:
 *    0   success; target holds exactly the comments, an empty line and the armour
 *   -1   a null argument; a path longer than 255 characters (source, target, or a key file
 *        path); the target names a key file of the run (the same path, or the same file
 *        through a link); the source missing, unreadable or not a regular file; the target a
 *        folder, an existing file that cannot be opened for reading and writing, not
 *        creatable or writable, a pipe that nobody reads, or longer than the process's
 *        file-size limit allows; a key file that is not a regular file readable and
 *        writable, is shorter than its header says, or cannot be read, locked or rewritten;
 *        user and master names leading to the same key file; an object that cannot be
 *        initialised
 *   -6   a key file's version is not 1
 *   -7   memory short
 *   -8   a key file's keyLen is below 1 or its keyOffset outside 0 to keyLen
 *   -9   the source is too large for the 32-bit lengths of the frames and the armour
 *   -16  the document holds the recipient marker "#DESTBEGIN#" (after conversion to the
 *        interchange form): it would come back cut at that point, so it is refused
 *   -43  the master or the user key file is missing
 *   other negative codes of the armour
 * Every failure leaves both key files byte for byte as they were, except a failure to put a
 * rewritten key header on disk and a failure to write or replace the target once the headers
 * are rewritten (an I/O error, a device or pipe target that fails while it is written): those
 * come after the key material is spent. Path, source and target problems are found before any
 * key file is opened. */
int32_t crypter3(const char* source, const char* target, const char* user, const char* keyFolder,
                 const char* to, const char* cc, const char* bcc, int32_t trace);

/* crypter3 with the target source + ".vlx"; -7 when that name cannot be allocated. */
int32_t crypter2(const char* source, const char* user, const char* keyFolder, const char* to,
                 const char* cc, const char* bcc, int32_t trace);

/* crypter2 with the key files under Clefs/ in the current directory and no trace. */
int32_t crypter(const char* source, const char* user, const char* to, const char* cc,
                const char* bcc);

#ifdef __cplusplus
}

#include "platform/TargetSink.h"

namespace veldoran {

/* What crypter adds to the source's name for its target. */
inline constexpr char kMessageSuffix[] = ".vlx";

/* crypter3 for a program that opens the target itself (a file written unnamed, or a standard
 * output where it stands): writer is open with nothing written yet, and targetName is what the
 * target is known by, for the check that it is none of the run's key files and for the trace.
 * The message ends with the recipient block and param ("" for none), both in the interchange
 * form, as crypterMem3 makes it. The key material is spent before the first byte goes to a
 * writer InPlace, else once the whole message waits in it, synced. On success the writer is
 * committed; on failure it is abandoned (Kill). Results, and what a failure spends, as
 * crypter3's; a failure of the writer gives its own code, and -1 also for a null argument. */
int32_t EncryptTextFileInto(const char* source, TargetSink* writer, const char* targetName,
                            const char* user, const char* keyFolder, const char* to, const char* cc,
                            const char* bcc, const char* param, int32_t trace);

}  // namespace veldoran
#endif

#endif
