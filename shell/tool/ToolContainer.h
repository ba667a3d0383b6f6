// The attachment container with its utility object, released whatever happens (the pack and
// unpack commands hold one each), and the rule entry names follow.
#ifndef VELDORAN_SHELL_TOOL_TOOLCONTAINER_H
#define VELDORAN_SHELL_TOOL_TOOLCONTAINER_H

#include <stdint.h>

#include <string>

#include "platform/OwnedBlock.h"
#include "shell/tool/ToolControls.h"
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

    // Adds a copy of length bytes as the entry name; a copy the container refuses goes back.
    // AddBlock's code, or kMemErr.
    int32_t AddCopy(const unsigned char* data, uint32_t length, const std::string& name) {
        veldoran::OwnedBlock copy(&utils);
        if (copy.AllocateUnfilled(length) != kNoErr) {
            return kMemErr;
        }
        utils.MyBlockMove(data, copy.data(), length);
        TypInfo info{};
        const int32_t added =
            container.AddBlock(&info, copy.data(), static_cast<int32_t>(length), name.c_str());
        if (added == kNoErr) {
            copy.Release();  // the container's now
        }
        return added;
    }

    // The container block, made into block. GetStruct's code.
    int32_t MakeBlock(veldoran::OwnedBlock* block) {
        int32_t length = 0;
        const int32_t result = container.GetStruct(block->Pointer(), &length);
        *block->Length() = static_cast<uint32_t>(length);
        return result;
    }

    TypUtilsUnix utils;
    TypPieceJointe container;
};

// Empty when an entry name may become a file name in a folder, else why not. Names come from
// strangers' mail: only one plain component is allowed. pack applies the same rule, so that
// what it packs unpacks.
inline std::string CheckEntryName(const std::string& name) {
    if (name.empty()) {
        return "an empty name";
    }
    // Checked first: a reader of the name as a C text would see only the part before it.
    if (name.find('\0') != std::string::npos) {
        return "a name with a zero byte in it";
    }
    if (name == "." || name == "..") {
        return "the name " + name + " stands for a folder";
    }
    if (name.front() == '/') {
        return "an absolute name";
    }
    if (name.find('/') != std::string::npos) {
        return "a name with a folder in it";
    }
    if (LocaleControls().AnyIn(name)) {
        return "a name with a control character";
    }
    return "";
}

}  // namespace tool

#endif
