/* Encryption of a text file into a message file: the text in interchange form with its
 * recipient block, encrypted with the year's master key and then with the sender's key,
 * armoured into printable lines, and written behind the two keys' comment lines and an empty
 * line. Plain C with C linkage, so that C hosts and foreign-function interfaces can call it.
 *
 * Every key file used has its header advanced on disk (position and use count) before the
 * call returns; a run that fails after the master key was used has still advanced it. The
 * target is replaced as one step: a failed run leaves an existing target exactly as it was,
 * also when the target is the source itself. */
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
 *        path); the source missing, unreadable or not writable; the target a folder, an
 *        existing file that cannot be opened for reading and writing, or not creatable or
 *        writable; an object that cannot be initialised; a key file that cannot be read or
 *        rewritten
 *   -7   memory short
 *   -9   the source is too large for the 32-bit lengths of the frames and the armour
 *   -43  the master or the user key file is missing
 *   other negative codes of the cipher or the armour
 * Every failure except a key file failure after the master key's use leaves the key files
 * untouched; path, source and target problems are found before any key file is opened. */
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
#endif

#endif
