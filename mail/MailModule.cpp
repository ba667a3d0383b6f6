// The entry of the module veldoran-mail.so: the one symbol it exports, the table of the mail
// layer's calls on GMime.
#include "mail/MailLayer.h"

extern "C" __attribute__((visibility("default"))) const veldoran::MailLayer* veldoran_mail_layer() {
    static const veldoran::MailLayer layer = {veldoran::kMailLayerVersion, veldoran::ReadMail,
                                              veldoran::ReadMailFile, veldoran::NewOutgoingMail};
    return &layer;
}
