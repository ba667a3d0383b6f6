/* Encryption and decryption of texts held in memory, for host programs that have the document
 * and want the message back as a text for the body of an e-mail, or the reverse. The same
 * message as the file pipelines: two key comment lines, an empty line, the armour. Plain C with
 * C linkage; nothing is printed and no file but the key files is touched.
 *
 * Ownership: every text these functions hand out comes from the C heap (malloc). It belongs to
 * the caller, who releases it with free() once done, on success and on failure alike. An out
 * variable that receives no text is set to NULL, so free() on it is always safe. */
#ifndef VELDORAN_PIPELINES_TEXTMEMORY_H
#define VELDORAN_PIPELINES_TEXTMEMORY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Encrypts the NUL-terminated document for the recipients to, cc and bcc, with the key files
 * <keyFolder>Clefs/Master.<year> and <keyFolder>Clefs/<user>.<year> (year: years since 1900,
 * 126 in 2026; keyFolder "" for the current directory, ending with "/" otherwise). The message
 * is the document, the recipient block "#DESTBEGIN#" to "," cc "," bcc "#DESTEND#" and then
 * param (unchanged, "" for none), all in the interchange text form.
 * On success *out is a new NUL-terminated text (the caller frees it): the master key's comment
 * line, the user key's comment line, an empty line and the armour; it holds no other NUL.
 * Results:
 *    0   success
 *   -1   a null argument (*out untouched when out itself is null, else NULL); a key file path
 *        longer than 255 characters; an object that cannot be created or initialised; a key
 *        file that cannot be read or rewritten
 *   -7   memory short
 *   -9   the document too large for the 32-bit lengths of the frames and the armour
 *   -16  the document holds "#DESTBEGIN#" (the recipient block's marker): decryption cuts a
 *        message at its first marker, so such a document could never come back whole. Found
 *        before any key file is opened.
 *   -43  the master or the user key file is missing
 *   other negative codes of the cipher
 * On every failure *out is NULL, and every failure found before the keys are used (all of the
 * above but a key file failing after the master key's use) leaves the key files untouched. All
 * memory the output needs is set aside before any key material is spent. */
int32_t crypterMem3(const char* document, char** out, const char* user, const char* keyFolder,
                    const char* to, const char* cc, const char* bcc, const char* param);

/* crypterMem3 with no parameter text (param ""). */
int32_t crypterMem2(const char* document, char** out, const char* user, const char* keyFolder,
                    const char* to, const char* cc, const char* bcc);

/* crypterMem2 with the key files under Clefs/ in the current directory (keyFolder ""). */
int32_t crypterMem(const char* document, char** out, const char* user, const char* to,
                   const char* cc, const char* bcc);

/* Decrypts the first armour found in the NUL-terminated message (anything may stand before
 * "#BINASCII1#" and after "#ENDBINASCII1#": mail headers, the comment lines, a signature; inside
 * the armour every character outside its alphabet is ignored: line ends, spaces, "> " quoting).
 * The key files are those the frames' own headers name, under Clefs/ in keyFolder, and are only
 * read. *document receives the document in the local text form (line ends "\n"), *tail the
 * message tail: "#DESTBEGIN#", the recipients, "#DESTEND#" and any parameter text; both are
 * NUL-terminated (the caller frees each). A document is what stood in front of the first
 * "#DESTBEGIN#".
 * Results:
 *    0   success; both texts handed over
 *   -1   a null argument (nothing is written through a null pointer); the key folder longer
 *        than 255 characters; an object that cannot be initialised; a key file that cannot be
 *        read
 *   -3   the armour's checksum differs from its content
 *   -4   no armour, an armour too short for its length field, or a frame shorter than a key
 *        header
 *   -5   a key file named by a frame is missing
 *   -6   a frame's key header is not of version 1
 *   -7   memory short; the document may still have been handed over (the tail could not be)
 *   -8   a frame's starting position lies beyond its key file's key material
 *   -9   the message is 4 GiB or longer
 * Whatever the result, *document and *tail are each NULL or a text the caller frees. */
int32_t decrypterMem3(const char* message, char** document, const char* keyFolder, char** tail);

/* decrypterMem3 handing back the document only; the tail is released here. */
int32_t decrypterMem2(const char* message, char** document, const char* keyFolder);

/* decrypterMem2 with the key files under Clefs/ in the current directory. */
int32_t decrypterMem(const char* message, char** document);

#ifdef __cplusplus
}

#include <stddef.h>

#include <functional>

namespace veldoran {

/* Takes a whole message (length bytes and a NUL behind them) while its key files are still
 * unchanged; 0 lets the encryption spend the key material, any other code stops it there. */
using MessageWriter = std::function<int32_t(const char* message, size_t length)>;

/* crypterMem3 for a host whose output can be withdrawn, such as a file written unnamed and named
 * afterwards: the finished message goes to write before either key file's header is rewritten,
 * and nothing is handed back. A write that fails leaves both key files as they were and its code
 * is the result; 0 means write took the message and both headers were rewritten after it (a
 * header that cannot be put on disk then gives -1, the message already written). Other results
 * as crypterMem3's; -1 also for a null text or an empty write. */
int32_t EncryptTextToWriter(const char* document, const MessageWriter& write, const char* user,
                            const char* keyFolder, const char* to, const char* cc, const char* bcc,
                            const char* param);

}  // namespace veldoran
#endif

#endif
