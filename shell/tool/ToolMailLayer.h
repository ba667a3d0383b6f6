// The mail layer's calls on GMime, from the module veldoran-mail.so, loaded the first time a run
// reads or writes a mail.
#ifndef VELDORAN_SHELL_TOOL_TOOLMAILLAYER_H
#define VELDORAN_SHELL_TOOL_TOOLMAILLAYER_H

#include <string>

#include "mail/MailLayer.h"

namespace tool {

// The module's table: from beside this program (a build tree) or else from where it is
// installed beside it (../lib/veldoran/). Null when it cannot be loaded, with why in *why.
const veldoran::MailLayer* LoadMailLayer(std::string* why);

}  // namespace tool

#endif
