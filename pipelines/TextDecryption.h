/* Decryption of a message file back into the document: the armour found anywhere in the file,
 * the sender's key layer and then the master key layer removed with the key files that the
 * frames' own headers name (name and year, under Clefs/ in the key folder), the text put back
 * in the local form, the recipient block cut off. Plain C with C linkage.
 *
 * Key files are only read. The message file is only read (a saved mail in a read-only folder
 * decrypts). The document is written as one step: a failed run leaves an existing target
 * exactly as it was and leaves no temporary file behind. */
#ifndef VELDORAN_PIPELINES_TEXTDECRYPTION_H
#define VELDORAN_PIPELINES_TEXTDECRYPTION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Decrypts the message file source into the file source + ".txt" (letter.txt.vlx gives
 * letter.txt.vlx.txt). keyFolder is put in front of "Clefs/" to find the key files: "" for the
 * current directory, ending with "/" otherwise. When trace is not 0, progress lines go to the
 * standard output. The document written is the local form of the text in front of the first
 * "#DESTBEGIN#"; a document that held that marker was cut there when it was encrypted.
 * Results:
 *    0   success; the target holds the document
 *   -1   a null argument; the target path longer than 255 characters; the key folder longer
 *        than 255 characters; the source missing, unreadable, a folder, or 2 GiB or more; an
 *        object that cannot be initialised; a key file named by a frame that cannot be read;
 *        the target a folder, an existing file that cannot be opened for reading and writing,
 *        not creatable or writable, or one of the key files the frames name (by path or as the
 *        same file), refused before anything is written
 *   -3   the armour's checksum differs from its content
 *   -4   no armour (start or end marker missing), an armour too short for its length field,
 *        or a frame shorter than a key header
 *   -5   a key file named by a frame is missing
 *   -6   a frame's key header is not of version 1
 *   -7   memory short
 *   -8   a frame's starting position lies beyond its key file's key material
 * On every failure the target is left as it was (absent, or with its old content). */
int32_t decrypter2(const char* source, const char* keyFolder, int32_t trace);

/* decrypter2 with the key files under Clefs/ in the current directory and no trace. */
int32_t decrypter(const char* source);

#ifdef __cplusplus
}

#include <string>

#include "platform/TargetSink.h"

namespace veldoran {

/* What decrypter2 adds to the source's name for its target. */
inline constexpr char kDocumentSuffix[] = ".txt";

/* decrypter2 into a target the program opened itself (a file written unnamed, or a standard
 * output where it stands): writer is open with nothing written yet, and targetName is what
 * the target is known by, for the check that it is none of the frames' key files and for the
 * trace. With tail not null, the message's tail ("#DESTBEGIN#", the recipients, "#DESTEND#"
 * and any parameter text, in the local form) is appended there. On success the writer is
 * committed; on failure it is abandoned (Kill). Results as decrypter2's; a failure of the
 * writer gives its own code, and -1 also for a null argument. */
int32_t DecryptTextFileInto(const char* source, TargetSink* writer, const char* targetName,
                            const char* keyFolder, int32_t trace, std::string* tail);

/* Reads the message file source through and checks its armour as decrypter2 does, without
 * decrypting anything: 0 when a whole armour was found and is sound, else the code decrypter2
 * would give for it (-3, -4), or -1 when the source cannot be opened or read. A program that
 * writes the document where it cannot be taken back (a pipe, a terminal) checks first, so that
 * a changed or cut message gives nothing of itself away. */
int32_t CheckTextArmour(const char* source);

}  // namespace veldoran
#endif

#endif
