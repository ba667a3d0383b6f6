// A file written unnamed inside a folder and given its name only once it is complete and on
// stable storage, so that a failed or killed run leaves neither a partial file nor a stray
// temporary one. Entries unpacked from strangers' containers go through it as well: the name is
// made inside the folder by descriptor and a link already standing there is never followed.
#ifndef VELDORAN_SHELL_TOOL_TOOLFOLDERFILE_H
#define VELDORAN_SHELL_TOOL_TOOLFOLDERFILE_H

#include <sys/types.h>

#include <string>

namespace tool {

// An open descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Closes the descriptor held and holds fd; the close's own result (0, or an errno value).
    int Reset(int fd);

  private:
    int fd_;
};

class FolderFile {
  public:
    FolderFile() = default;
    // Closes the file; one not yet named is gone with it.
    ~FolderFile();
    FolderFile(const FolderFile&) = delete;
    FolderFile& operator=(const FolderFile&) = delete;

    // Starts a file in the folder open at folderFd, which the caller keeps open until Place.
    // mode is applied exactly, not through the umask. 0, or an errno value.
    int Open(int folderFd, mode_t mode);
    // The descriptor to write to.
    int Descriptor() const { return fd_; }
    // Puts the content on stable storage and names the file name (one path component) in the
    // folder. With replace, an existing name is replaced (a link itself, never what it points
    // to); without, an existing name is left alone and EEXIST comes back. 0, or an errno value.
    int Place(const std::string& name, bool replace);

  private:
    // Links the open file under a fresh hidden name in the folder.
    int LinkUnderHiddenName();

    int folderFd_ = -1;
    int fd_ = -1;
    // The hidden name the file has while it is written, where the file system cannot keep
    // unnamed files; or, for an unnamed file, the name it is renamed from when replacing.
    std::string hiddenName_;
    bool unnamed_ = false;
};

}  // namespace tool

#endif
