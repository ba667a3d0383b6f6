// The attachment container with its utility object, released whatever happens: the pack and
// unpack commands hold one each.
#ifndef VELDORAN_SHELL_TOOL_TOOLCONTAINER_H
#define VELDORAN_SHELL_TOOL_TOOLCONTAINER_H

#include <stdint.h>

#include "veldoran.h"

namespace tool {

struct ContainerHolder {
    // format: kformatnoncompresse or kformatLZOcompresse.
    explicit ContainerHolder(int32_t format) {
        utils.InitCreate(nullptr);
        container.InitCreate2(&utils, format);
    }
    ~ContainerHolder() { container.Kill(); }
    ContainerHolder(const ContainerHolder&) = delete;
    ContainerHolder& operator=(const ContainerHolder&) = delete;

    TypUtilsUnix utils;
    TypPieceJointe container;
};

}  // namespace tool

#endif
