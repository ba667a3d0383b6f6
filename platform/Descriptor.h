// An open file descriptor with one owner: closed when its owner goes, moved but never copied, so
// that no path through a function can leak it or close it twice.
#ifndef VELDORAN_PLATFORM_DESCRIPTOR_H
#define VELDORAN_PLATFORM_DESCRIPTOR_H

namespace veldoran {

class Descriptor {
  public:
    // Takes fd (-1 for none).
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Closes the descriptor held and takes fd; the close's own result: 0, or its errno value
    // (the descriptor is gone either way).
    int Reset(int fd);
    // Hands the descriptor over without closing it; -1 is held from then on.
    int Release();

  private:
    int fd_;
};

}  // namespace veldoran

#endif
