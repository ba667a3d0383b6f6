// Test mails written by GMime's own writer, so that every form the tests feed the tool is one a
// mail client could send: text parts in each transfer encoding, multiparts, attached messages
// and files, and mailboxes of them.
#ifndef VELDORAN_TESTS_MAIL_MAILMAKER_H
#define VELDORAN_TESTS_MAIL_MAILMAKER_H

#include <gmime/gmime.h>

#include <mutex>
#include <string>
#include <vector>

namespace mailmaker {

inline void Init() {
    static std::once_flag once;
    std::call_once(once, []() { g_mime_init(); });
}

// A text part (subtype "plain" or "html") of text in the given transfer encoding; flowed adds
// format=flowed and delsp=yes to its type.
inline GMimeObject* Text(const std::string& text, const char* subtype = "plain",
                         GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_DEFAULT,
                         bool flowed = false) {
    Init();
    GMimeTextPart* part = g_mime_text_part_new_with_subtype(subtype);
    g_mime_text_part_set_text(part, text.c_str());
    if (encoding != GMIME_CONTENT_ENCODING_DEFAULT) {
        g_mime_part_set_content_encoding(GMIME_PART(part), encoding);
    }
    if (flowed) {
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "format", "flowed");
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "delsp", "yes");
    }
    return GMIME_OBJECT(part);
}

// A file sent along: content of the given type under name, in base64.
inline GMimeObject* File(const std::string& content, const std::string& name,
                         const char* type = "application", const char* subtype = "octet-stream") {
    Init();
    GMimePart* part = g_mime_part_new_with_type(type, subtype);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(content.data(), content.size());
    GMimeDataWrapper* wrapper =
        g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, wrapper);
    g_object_unref(wrapper);
    g_object_unref(stream);
    g_mime_part_set_filename(part, name.c_str());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    return GMIME_OBJECT(part);
}

// A multipart of the given subtype holding parts (taken over).
inline GMimeObject* Multi(const char* subtype, const std::vector<GMimeObject*>& parts) {
    Init();
    GMimeMultipart* multipart = g_mime_multipart_new_with_subtype(subtype);
    for (GMimeObject* part : parts) {
        g_mime_multipart_add(multipart, part);
        g_object_unref(part);
    }
    return GMIME_OBJECT(multipart);
}

// A message with body (taken over), as an object.
inline GMimeMessage* Message(GMimeObject* body, const char* subject = "letter") {
    Init();
    GMimeMessage* message = g_mime_message_new(TRUE);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, "Anne Dupont", "anne@example.org");
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, "Paul", "paul@example.org");
    g_mime_message_set_subject(message, subject, "utf-8");
    g_mime_message_set_mime_part(message, body);
    g_object_unref(body);
    return message;
}

// An attached message/rfc822 part holding message (taken over).
inline GMimeObject* Forwarded(GMimeMessage* message) {
    GMimeMessagePart* part = g_mime_message_part_new_with_message("rfc822", message);
    g_object_unref(message);
    return GMIME_OBJECT(part);
}

// The whole mail with body (taken over) as its text.
inline std::string Mail(GMimeObject* body, const char* subject = "letter") {
    GMimeMessage* message = Message(body, subject);
    char* text = g_mime_object_to_string(GMIME_OBJECT(message), nullptr);
    std::string mail(text);
    g_free(text);
    g_object_unref(message);
    return mail;
}

// A mailbox of mails as mail clients save it: each behind a "From " line, a lone line "From "
// in a body quoted as ">From ".
inline std::string Mailbox(const std::vector<std::string>& mails) {
    std::string box;
    for (const std::string& mail : mails) {
        box += "From anne@example.org Thu Jan  1 00:00:00 2026\n";
        size_t at = 0;
        while (at < mail.size()) {
            size_t end = mail.find('\n', at);
            end = end == std::string::npos ? mail.size() : end + 1;
            if (mail.compare(at, 5, "From ") == 0) {
                box += '>';
            }
            box.append(mail, at, end - at);
            at = end;
        }
        box += "\n";
    }
    return box;
}

}  // namespace mailmaker

#endif
