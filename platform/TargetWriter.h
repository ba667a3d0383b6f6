// Puts new content under a target's name in one step: the content goes into a temporary file
// created beside the target (exclusively, never through a link), is flushed to stable storage,
// and only then takes the target's name. Until Commit succeeds an old target stays exactly as it
// was, and a run that fails or is abandoned leaves no temporary file behind.
//
// Two ways to name a target. Open(path) replaces what stands at path, as writing it directly
// would (below). OpenInFolder(folder, name) makes the file inside a folder held open, by
// descriptor, and never follows a link standing there: it never replaces an existing name
// (EEXIST at Open or, when the name appears meanwhile, at Commit) unless asked to replace the
// name itself, and gives the new file exactly the mode asked for, not through the umask.
//
// Where the file system offers unnamed files (O_TMPFILE) the temporary file has no name until
// Commit links it under the target's name when there is none yet, and otherwise links it as a
// .new file, locked, just before the rename. Elsewhere the temporary file is created as a .tmp
// file and locked while its writer lives. Both names are derived from the target's name in a
// few fixed slots (TemporaryName), so a killed process leaves at most such a file, and the next
// Open of the same target looks at those few names only (no listing of the folder) and removes
// the ones no process holds: a .new file at once, a .tmp file once nothing has written to it for
// a minute.
//
// Kept from direct writing by Open(path): an existing target that cannot be opened for reading
// and writing is refused (-1) and left alone; a replaced target keeps its read, write and
// execute bits; a new target gets 0666 less the umask. A link is replaced by the new file and
// the file it names is left alone. A target that is not a regular file (a terminal, a pipe,
// /dev/null) has no content to protect and is written in place; a pipe that nobody reads is
// refused at Open rather than waited on. A target that cannot be replaced in one step (its
// folder not writable, or a sticky folder where the user owns neither the target nor the
// folder) is refused before anything is written.
#ifndef VELDORAN_PLATFORM_TARGETWRITER_H
#define VELDORAN_PLATFORM_TARGETWRITER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "platform/TargetSink.h"

namespace veldoran {

// The system calls the writer makes, so that tests can make any of them fail. Paths are taken
// relative to a folder descriptor, AT_FDCWD for a path of the caller's.
struct TargetWriterCalls {
    int (*openat)(int folderFd, const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t count);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*renameat)(int fromFolderFd, const char* from, int toFolderFd, const char* to);
    int (*unlinkat)(int folderFd, const char* path, int flags);
    // fallocate(2) with FALLOC_FL_KEEP_SIZE over [0, length).
    int (*reserve)(int fd, off_t length);
    int (*linkat)(int fromFolderFd, const char* from, int toFolderFd, const char* to, int flags);
    int (*flock)(int fd, int operation);
    int (*ftruncate)(int fd, off_t length);
    // Puts a folder's names on stable storage (SyncFolder).
    int (*syncFolder)(int folderFd);

    // The calls of the running system.
    static const TargetWriterCalls& System();
};

class TargetWriter : public TargetSink {
  public:
    // How OpenInFolder names the new file at Commit.
    enum class Naming {
        kNeverReplace,  // a name already taken fails the writer with EEXIST
        kReplace,       // a file or link standing there is replaced (a link itself, not followed)
    };
    // The two kinds of temporary name a writer gives its file (see above).
    enum class Temporary { kCreated, kLinked };
    // The slots a target's temporary names take: as many writers of one target at once.
    static constexpr int kTemporarySlots = 8;
    // The temporary name of a kind in a slot for the target called name (a name in the target's
    // folder, without the folder).
    static std::string TemporaryName(const std::string& name, Temporary kind, int slot);

    TargetWriter() = default;
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;
    // Discards an uncommitted temporary file.
    ~TargetWriter() override;

    // Keeps the system calls to use (not owned; null for the running system's). 0.
    int32_t InitCreate(const TargetWriterCalls* calls);
    // Prepares the replacement of path: checks an existing target and creates the temporary
    // file. 0, or -1 (nothing created, the target untouched) when the target is a folder, exists
    // but cannot be opened for reading and writing, cannot be replaced in its folder, is a pipe
    // that nobody reads, or the temporary file cannot be created.
    int32_t Open(const char* path);
    // Prepares a new file called name (one path component) in the folder open at folderFd (not
    // owned; a copy of it is kept), with exactly the permission bits mode. 0, or -1 when name is
    // no plain name (EINVAL), is taken and naming is kNeverReplace (EEXIST), is a folder
    // (EISDIR), or the temporary file cannot be created.
    int32_t OpenInFolder(int folderFd, const char* name, mode_t mode, Naming naming);
    // Prepares writing to fd (not owned; a copy of it is written and closed at Commit) where
    // it stands, as for a device or a pipe: nothing written can be taken back, and Commit only
    // closes the copy. 0, or -1 when fd cannot be copied.
    int32_t OpenDescriptor(int fd);
    // Sets disk space aside for length bytes of new content, so that a full disk is found out
    // before the content is made. 0, also where the file system cannot set space aside; -1
    // (the temporary file removed) when the space is not there or length exceeds the process's
    // file-size limit (RLIMIT_FSIZE).
    int32_t Reserve(uint64_t length) override;
    // Appends count bytes to the new content. 0, or -1 when they cannot all be written. The
    // file-size signal is ignored meanwhile, so a write past the file-size limit fails instead
    // of killing the process.
    int32_t Write(const unsigned char* data, uint32_t count) override;
    // Puts the new content on stable storage without giving it the target's name, so that
    // this sync can run beside others; Commit then only names it. 0 (also for a target written
    // in place, which has nothing to sync), or -1 with the temporary file removed.
    int32_t SyncContent() override;
    // Puts the new content on stable storage (unless SyncContent did) and in place of the
    // target, then syncs the folder so that the name survives a crash. 0, or -1 with the
    // temporary file removed and: the old target intact when the content could not be named;
    // a name just made taken back when the folder sync fails; a target replaced by a rename
    // left replaced when the folder sync fails, since a rename cannot be taken back.
    int32_t Commit() override;
    // Abandons an uncommitted replacement: the temporary file is closed and removed. 0.
    int32_t Kill() override;

    // After Open: whether the target is written as it stands (a device or a pipe) rather than
    // through a temporary file, so that nothing written can be taken back.
    bool InPlace() const override { return holding_ == Holding::kInPlace; }
    // The path of the temporary file while it has a name of its own (an unnamed file has
    // none until Commit), else empty (for tests).
    std::string TemporaryPath() const;
    // The errno value of the call that failed the writer (so that a program can say why), or 0.
    int LastError() const { return lastError_; }

  private:
    // How the new content is held.
    enum class Holding {
        kNothing,
        kInPlace,  // written to the target as it stands
        kUnnamed,  // an unnamed file; temporaryName_ set once it is linked at Commit
        kCreated,  // a file created under temporaryName_
    };
    // How far the content has come.
    struct Progress {
        uint64_t written = 0;
        bool reserved = false;  // space set aside beyond what is written, given back at the sync
        bool synced = false;    // on stable storage as it stands
    };

    void Begin(int folderFd, const std::string& folder, const std::string& name);
    int32_t OpenInPlace(const char* path);
    int32_t MakeTemporary(mode_t createMode, const mode_t* exactMode);
    bool MakeUnnamed(mode_t createMode);
    bool MakeCreated(mode_t createMode);
    void RemoveStaleTemporaries();
    int32_t Name(int fd, bool* madeFresh);
    // Links the unnamed file open as fd under a free .new name, locked meanwhile by fd.
    int32_t LinkUnnamed(int fd);
    int32_t SyncFolderAfterNaming(bool madeFresh);
    // The path of a name in the target's folder, as the calls take it with folderFd_.
    std::string InFolder(const std::string& name) const;
    void StartWriteback(size_t count);
    // The one way every failure ends: the errno value kept, the temporary file gone. -1.
    int32_t Fail();

    const TargetWriterCalls* calls_ = &TargetWriterCalls::System();
    // The target: name_ in the folder open at folderFd_ (owned when ownsFolder_), or, for
    // AT_FDCWD, in the folder path folder_ (with its slash, "" for the current folder).
    int folderFd_ = -1;
    bool ownsFolder_ = false;
    std::string folder_;
    std::string name_;
    Naming naming_ = Naming::kReplace;
    Holding holding_ = Holding::kNothing;
    int fd_ = -1;
    std::string temporaryName_;
    Progress progress_;
    int lastError_ = 0;
};

}  // namespace veldoran

#endif
