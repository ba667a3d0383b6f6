// The descriptor owner closes what it holds exactly once: when it goes, when it takes another,
// and never after handing its descriptor on by a move or Release.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/Descriptor.h"

namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

int OpenNull() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(Descriptor, ClosesWhatItHoldsOnceAndNothingItHandedOn) {
    int first = -1;
    int second = -1;
    {
        veldoran::Descriptor owner(OpenNull());
        first = owner.Get();
        ASSERT_TRUE(IsOpen(first));
        veldoran::Descriptor moved(std::move(owner));
        // A moved-from owner holds nothing, by contract.
        EXPECT_FALSE(owner.IsOpen());
        EXPECT_EQ(moved.Get(), first);
        veldoran::Descriptor assigned(OpenNull());
        second = assigned.Get();
        assigned = std::move(moved);
        // The descriptor assigned over is closed; the one moved in stays open.
        EXPECT_FALSE(IsOpen(second));
        EXPECT_TRUE(IsOpen(first));
        EXPECT_EQ(assigned.Get(), first);
    }
    EXPECT_FALSE(IsOpen(first));

    veldoran::Descriptor released(OpenNull());
    const int kept = released.Release();
    EXPECT_FALSE(released.IsOpen());
    released.Reset(-1);
    EXPECT_TRUE(IsOpen(kept));
    close(kept);

    // Reset gives the close's own errno value; here the descriptor is no longer open.
    veldoran::Descriptor stale(OpenNull());
    close(stale.Get());
    EXPECT_EQ(stale.Reset(-1), EBADF);
}

}  // namespace
