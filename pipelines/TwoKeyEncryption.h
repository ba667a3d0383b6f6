// The two key layers every encrypting pipeline applies: the message under the year's master
// key, then that frame under the sender's key, giving the outer frame of messageLength + 448
// bytes. One place decides when key material is spent, so that every pipeline follows the same
// rule: nothing is spent for a run that cannot finish.
#ifndef VELDORAN_PIPELINES_TWOKEYENCRYPTION_H
#define VELDORAN_PIPELINES_TWOKEYENCRYPTION_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "crypto/LockedKeyFile.h"
#include "pipelines/KeyUse.h"
#include "platform/Lifetime.h"

class TypCryptoUnix;
class TypFileRefUnix;
class TypUtils;
class TypUtilsUnix;

namespace veldoran {

class OwnedBlock;

// Size of each key comment buffer a caller hands in; a comment is one line of at most 106
// characters with its line end.
constexpr size_t kKeyCommentSize = 256;
// The longest comment line, its line end included.
constexpr size_t kKeyCommentMaxLength = 106;

// Bytes the two layers add to a message: one key header per layer.
uint32_t TwoLayerOverhead();

// Called once both key files are known to be usable and before either is advanced, with the
// length the outer frame will have. The pipeline obtains there everything else it needs to
// finish (target file and its space, output blocks); a non-zero result ends the run with that
// code and no key material spent. Both key files are locked while it runs: it must not use
// them itself.
using PrepareOutput = std::function<int32_t(uint32_t outerLength)>;

// Called once the outer frame is complete and before either header is rewritten, with the
// frame and each key's comment line as it will stand: a pipeline whose output can be withdrawn
// writes it whole here, so that a failure to write spends no key material. A non-zero result
// ends the run with that code and neither key file changed.
using FrameReady = std::function<int32_t(const unsigned char* outer, uint32_t outerLength,
                                         const char* masterComment, const char* userComment)>;

// What one encryption needs to know.
struct TwoKeyRequest {
    const char* keyFolder = "";  // prefix in front of "Clefs/"; "" or ending with "/"
    const char* user = "";       // the sender's key name
    const char* yearText = "";   // years since 1900, as the key files are named
    int32_t trace = 0;           // non-zero: the key trace lines go to the standard output
};

// Both key files of one encryption, held from Open to Close: the one place that opens, locks,
// checks, commits and releases them, for the whole-block encryption and for the streams.
class HeldKeys {
  public:
    explicit HeldKeys(TypUtilsUnix* utils);
    HeldKeys(const HeldKeys&) = delete;
    HeldKeys& operator=(const HeldKeys&) = delete;
    // Releases both key files, the user's first, without writing to them.
    ~HeldKeys();

    // Opens, locks (master first, then user) and checks both key files for a message of
    // messageLength bytes, then asks the calling thread's key use hook (pipelines/KeyUse.h)
    // with both locked headers: the master layer takes messageLength bytes of key stream, the
    // user layer messageLength + 224. With trace set, prints "Master Key: " before the master
    // key is opened. Results as EncryptWithBothKeys' before prepare: 0, -43, -1, -6, -8, -7, or
    // the hook's; on any of them nothing is spent.
    int32_t Open(const TwoKeyRequest& request, uint64_t messageLength);
    veldoran::LockedKeyFile& master() { return master_; }
    veldoran::LockedKeyFile& user() { return user_; }
    // The first 448 bytes of the outer frame before the user key stream covers its last 224:
    // the user key's frame header, then the master key's.
    void FrameHeaders(unsigned char* destination) const;
    // Each key's comment line as it stands after an encryption of messageLength bytes; valid
    // before Commit, so that a message can be written out before its keys are spent.
    void Comments(uint32_t messageLength, char* masterComment, char* userComment) const;
    // The one point where both keys are spent: records both ranges in the key journal, when
    // one is named (JournalStep, pipelines/KeyJournalCore.h), then rewrites both headers for
    // messageLength bytes, master first, and puts both on stable storage. alongside (empty for
    // nothing; the target's own sync) runs beside the journal's sync, or with no journal beside the
    // headers'. 0, or the first failure's code: the journal's refusal, which leaves both headers as
    // they were; -1 for a header; else alongside's. Once a rewrite is tried the key material counts
    // as spent.
    int32_t Commit(uint32_t messageLength, const std::function<int32_t()>& alongside = {});
    // Releases both key files, the user's first. 0, or -1 when a close failed.
    int32_t Close();
    // The trace lines of the key layers, as one whole-block run prints them: on success from
    // "Crypt datalen2: " to the user's "GetKeyComment: ", else "User Key: " when it got that far.
    void Trace(bool succeeded, uint32_t messageLength, const char* masterComment,
               const char* userComment) const;

  private:
    struct RefDeleter {
        void operator()(TypFileRefUnix* keyRef) const;
    };
    using KeyRef = std::unique_ptr<TypFileRefUnix, RefDeleter>;
    // A new reference to the key file called name: kMemErr, or kOtherErr when it cannot be
    // initialised or its path does not fit.
    int32_t MakeRef(const TwoKeyRequest& request, const char* name, KeyRef* keyRef);
    // The key use hook's answer for both held keys.
    int32_t AskHook(uint64_t messageLength) const;

    TypUtilsUnix* utils_;
    int32_t trace_ = 0;
    Owned<TypCryptoUnix> crypto_;
    // Declared before the key files so that they are released after them.
    KeyRef masterRef_;
    KeyRef userRef_;
    veldoran::LockedKeyFile master_;
    veldoran::LockedKeyFile user_;
};

// The calling thread's key use hook (veldoranSetKeyUseHook) asked about count layers; 0 when
// none is set. *refused is the layer the hook named with veldoranRefuseKeyUse, else null.
int32_t AskKeyUse(const VeldoranKeyLayer* layers, uint32_t count, const VeldoranKeyLayer** refused);

// Encrypts messageLength bytes into a new outer frame handed to *outer, *outerLength (from
// utils->MyNewPtr, disposed of by the caller with MyDisposeptr), and writes each key's comment
// line, as its header stands after this encryption, into masterComment and userComment
// (kKeyCommentSize bytes each). The comments come from the headers this run wrote, never from a
// later read, so they always match the frames' headers.
//
// Order of work: both key files are opened without waiting, locked (master first, then user,
// in every run, so that concurrent runs cannot wait on each other) and checked; the key use
// hook is asked; every block is allocated; prepare runs; the key streams are read and the frame
// made; ready (when given) takes the frame; only then are both headers rewritten and synced
// (master, then user), the comments made and the locks released.
//
// With trace set, prints "Master Key: " before the master key is opened; after a successful
// run "Crypt datalen2: ", "GetKeyComment: ", "User Key: ", "Crypt datalen: ", "GetKeyComment: "
// lines follow in that order; a failed run ends its trace with "User Key: " when it got past
// the master key.
//
// Results: 0; -43 (kFNFErr) when either key file is missing (or not readable); -1 when one is
// not a regular file readable and writable, is shorter than 224 + keyLen bytes, cannot be
// locked, read or rewritten, or both names lead to the same file; -6 when a key's version is
// not 1; -8 when its keyLen is below 1 or its keyOffset outside 0 to keyLen; -7 when memory is
// short; -9 when the outer frame would not fit a 32-bit length; the key use hook's, prepare's or
// ready's code. On any failure
// *outer is null, *outerLength 0, and (but for a failure to put a rewritten header on disk)
// neither key file has changed: no key material is spent for a run that fails.
int32_t EncryptWithBothKeys(TypUtilsUnix* utils, const TwoKeyRequest& request,
                            const unsigned char* message, uint32_t messageLength,
                            const PrepareOutput& prepare, unsigned char** outer,
                            uint32_t* outerLength, char* masterComment, char* userComment,
                            const FrameReady& ready = nullptr);

// EncryptWithBothKeys over a message that already stands in the frame's block: frame (from
// utils, owned by the caller) holds room for the two key headers, then the message; the frame
// is made over it in place, sparing a second block of the message's size. On success frame
// holds the outer frame; on a failure its content is not to be used. Results as
// EncryptWithBothKeys', and -1 for a frame shorter than the two headers.
int32_t EncryptInPlace(TypUtilsUnix* utils, const TwoKeyRequest& request, OwnedBlock* frame,
                       char* masterComment, char* userComment, const PrepareOutput& prepare,
                       const FrameReady& ready = nullptr);

// Whether path names either key file of the request: the same path text, or (following links
// or not) the same file as an existing key file. A pipeline refuses such a target before it
// touches anything: writing it would destroy the key.
bool NamesAKeyFile(const TwoKeyRequest& request, const char* path);

// The checks every encrypting file pipeline makes before it opens anything: source, target and
// both key paths fit a file reference, and the target is not one of the key files. kNoErr or
// kOtherErr.
int32_t CheckFilePaths(const TwoKeyRequest& request, const char* source, const char* target);

// Whether both key file paths of the request fit a file reference.
bool KeyPathsFit(const TwoKeyRequest& request);

// Whether path names the key file found at keyPath whose identity is key (its stat): the same
// path text, or (following links or not) the same device and inode. The one test behind every
// refusal of a key file as a target.
bool NamesKeyFile(const char* path, const char* keyPath, const struct stat& key);

}  // namespace veldoran

#endif
