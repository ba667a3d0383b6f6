// The calls of the mail layer that need GMime, as one table that the module veldoran-mail.so
// hands over. A program loads the module only when it reads or writes a mail, so that its
// other runs start without GMime and the dozen libraries under it.
#ifndef VELDORAN_MAIL_MAILLAYER_H
#define VELDORAN_MAIL_MAILLAYER_H

#include <stddef.h>

#include <memory>
#include <string>

#include "mail/MailReader.h"
#include "mail/OutgoingMail.h"

namespace veldoran {

struct MailLayer {
    // kMailLayerVersion of the module's build: a program takes only a table of its own layout.
    int version;
    size_t (*readMail)(std::string* bytes, const MailPartSink& sink, const MailNoticeSink& notice);
    size_t (*readMailFile)(int fd, const MailPartSink& sink, const MailNoticeSink& notice);
    std::unique_ptr<OutgoingMail> (*newOutgoingMail)();
};

// Changes whenever the table or a type it passes changes.
constexpr int kMailLayerVersion = 1;

// The module's file name, and the C name of the function in it that returns its table.
constexpr char kMailModuleFile[] = "veldoran-mail.so";
constexpr char kMailLayerEntry[] = "veldoran_mail_layer";
using MailLayerEntry = const MailLayer* (*)();

}  // namespace veldoran

// The module's entry, named by kMailLayerEntry; a program finds it with dlsym.
extern "C" const veldoran::MailLayer* veldoran_mail_layer();

#endif
