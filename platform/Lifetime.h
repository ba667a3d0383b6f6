// The library's objects live by scope: created with new, set up with InitCreate, used, and
// finished with Kill and delete when the owning scope ends, by whichever path it is left.
#ifndef VELDORAN_PLATFORM_LIFETIME_H
#define VELDORAN_PLATFORM_LIFETIME_H

#include <stdint.h>

#include <memory>
#include <new>
#include <utility>

#include "platform/ResultCodes.h"

namespace veldoran {

template <class T>
struct KillAndDelete {
    void operator()(T* object) const {
        // Kill's result is not wanted here: the object is gone whatever it says.
        static_cast<void>(object->Kill());
        delete object;
    }
};

// An object of the design's lifecycle, owned by one scope.
template <class T>
using Owned = std::unique_ptr<T, KillAndDelete<T>>;

// Creates a T into *object and gives InitCreate the arguments. kMemErr, with *object empty, when
// the object cannot be allocated; otherwise InitCreate's result, the object kept in *object
// either way so that Kill still runs.
template <class T, class... Arguments>
int32_t Create(Owned<T>* object, Arguments&&... arguments) {
    object->reset(new (std::nothrow) T);
    if (!*object) {
        return kMemErr;
    }
    return (*object)->InitCreate(std::forward<Arguments>(arguments)...);
}

}  // namespace veldoran

#endif
