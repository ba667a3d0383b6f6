// The module is looked for beside the program first, so that a build tree runs with its own
// module, then where it is installed relative to the program, so that an installed tree works
// wherever it stands; the version in the table keeps a program from taking a module of another
// layout.
#include "shell/tool/ToolMailLayer.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace tool {

namespace {

// This program's folder, with its slash, or "" when the system does not say where its file is.
std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string program(path, static_cast<size_t>(std::max<ssize_t>(length, 0)));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? "" : program.substr(0, slash + 1);
}

// The table of the module at path, or null with why.
const veldoran::MailLayer* LoadFrom(const std::string& path, std::string* why) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = dlerror();
        *why = error != nullptr ? error : path + ": cannot be loaded";
        return nullptr;
    }
    const auto entry =
        reinterpret_cast<veldoran::MailLayerEntry>(dlsym(module, veldoran::kMailLayerEntry));
    const veldoran::MailLayer* layer = entry != nullptr ? entry() : nullptr;
    if (layer == nullptr || layer->version != veldoran::kMailLayerVersion) {
        *why = path + ": a mail module of another build";
        dlclose(module);
        return nullptr;
    }
    // Kept loaded for the rest of the run: the table's calls live in it.
    return layer;
}

}  // namespace

const veldoran::MailLayer* LoadMailLayer(std::string* why) {
    static std::once_flag once;
    static const veldoran::MailLayer* layer = nullptr;
    static std::string failure;
    std::call_once(once, []() {
        const std::string folder = ProgramFolder();
        // Never a path from the working folder: a file put there must not be run.
        if (folder.empty() || folder.front() != '/') {
            failure = "this program's own folder cannot be found (/proc/self/exe)";
            return;
        }
        const std::string beside = folder + veldoran::kMailModuleFile;
        layer = LoadFrom(
            access(beside.c_str(), F_OK) == 0 ? beside : folder + VELDORAN_MAIL_MODULE_FROM_PROGRAM,
            &failure);
    });
    if (layer == nullptr) {
        *why = failure;
    }
    return layer;
}

}  // namespace tool
