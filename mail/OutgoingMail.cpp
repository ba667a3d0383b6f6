// GMime reads the client's mail (transfer encodings, charsets, RFC 2047 and RFC 2231 names) and
// writes the mail that leaves, so that every header field the client wrote stands in it as it
// came; only the body parts are replaced.
#include "mail/OutgoingMail.h"

#include <gmime/gmime.h>

#include "mail/MailGMime.h"
#include "mail/MailReader.h"
#include "mail/MailShape.h"
#include "mail/MailText.h"

namespace {

using veldoran::LowerMediaType;
using veldoran::Unref;

// The addresses of list, groups opened, joined by "; ": the recipient block separates its
// lists with commas, and a reader takes Cc and Bcc as its last two comma-separated fields.
void AddAddresses(InternetAddressList* list, std::string* joined) {
    const int count = list != nullptr ? internet_address_list_length(list) : 0;
    for (int i = 0; i < count; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            AddAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)),
                         joined);
        } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (addr != nullptr && *addr != '\0') {
                *joined += (joined->empty() ? "" : "; ") + std::string(addr);
            }
        }
    }
}

bool IsAttachment(GMimeObject* object) {
    if (GMIME_IS_PART(object) && g_mime_part_get_filename(GMIME_PART(object)) != nullptr) {
        return true;
    }
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

// Takes a mail's tree apart: the first inline text/plain part is the letter, every other leaf
// (and every attached message, whole) a file, but the other renderings of a text/plain body in
// a multipart/alternative.
class Collector {
  public:
    Collector(std::string* letter, bool* haveLetter, std::vector<veldoran::OutgoingFile>* files)
        : letter_(letter), haveLetter_(haveLetter), files_(files) {}

    std::string Walk(GMimeObject* object, int depth) {
        if (object == nullptr) {
            return "";
        }
        if (depth > veldoran::kDeepestPart) {
            return "parts nested deeper than " + std::to_string(veldoran::kDeepestPart) + " levels";
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            veldoran::OutgoingFile file;
            file.type = "message/rfc822";
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner != nullptr) {
                char* text = g_mime_object_to_string(GMIME_OBJECT(inner), nullptr);
                file.content = text != nullptr ? text : "";
                g_free(text);
            }
            const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
            file.name = name != nullptr ? name : "";
            files_->push_back(std::move(file));
            return "";
        }
        if (GMIME_IS_MULTIPART(object)) {
            return WalkMultipart(GMIME_MULTIPART(object), depth);
        }
        if (!GMIME_IS_PART(object)) {
            return "a part of a kind that cannot be read";
        }
        return Leaf(GMIME_PART(object));
    }

    bool sawHtml = false;

  private:
    std::string WalkMultipart(GMimeMultipart* multipart, int depth) {
        GMimeObject* object = GMIME_OBJECT(multipart);
        const int count = g_mime_multipart_get_count(multipart);
        if (LowerMediaType(g_mime_object_get_content_type(object)) == "multipart/alternative") {
            // The text/plain rendering is the letter; the others say the same in markup.
            for (int i = 0; i < count; ++i) {
                GMimeObject* child = g_mime_multipart_get_part(multipart, i);
                if (GMIME_IS_PART(child) && !IsAttachment(child) &&
                    LowerMediaType(g_mime_object_get_content_type(child)) == "text/plain") {
                    return Walk(child, depth + 1);
                }
            }
        }
        for (int i = 0; i < count; ++i) {
            const std::string refusal = Walk(g_mime_multipart_get_part(multipart, i), depth + 1);
            if (!refusal.empty()) {
                return refusal;
            }
        }
        return "";
    }

    std::string Leaf(GMimePart* part) {
        GMimeObject* object = GMIME_OBJECT(part);
        GMimeContentType* type = g_mime_object_get_content_type(object);
        const std::string media = LowerMediaType(type);
        if (media == "message/external-body") {
            return "a message/external-body part, whose content is held elsewhere and cannot "
                   "be encrypted";
        }
        const bool inlineText = !IsAttachment(object) && media.compare(0, 5, "text/") == 0;
        if (inlineText && media == "text/plain" && !*haveLetter_) {
            // Mail clients write CR LF where the mail was read as such; the letter takes LF.
            *letter_ = veldoran::DecodePart(
                part, g_mime_content_type_get_parameter(type, "charset"), nullptr, true);
            const char* format = g_mime_content_type_get_parameter(type, "format");
            if (format != nullptr && g_ascii_strcasecmp(format, "flowed") == 0) {
                const char* delSp = g_mime_content_type_get_parameter(type, "delsp");
                *letter_ = veldoran::UnflowText(
                    *letter_, delSp != nullptr && g_ascii_strcasecmp(delSp, "yes") == 0);
            }
            *haveLetter_ = true;
            return "";
        }
        sawHtml = sawHtml || (inlineText && media == "text/html");
        veldoran::OutgoingFile file;
        file.type = media;
        const char* name = g_mime_part_get_filename(part);
        file.name = name != nullptr ? name : "";
        file.content = veldoran::DecodePart(part, nullptr, nullptr);
        files_->push_back(std::move(file));
        return "";
    }

    std::string* letter_;
    bool* haveLetter_;
    std::vector<veldoran::OutgoingFile>* files_;
};

class GMimeOutgoingMail final : public veldoran::OutgoingMail {
  public:
    ~GMimeOutgoingMail() override {
        if (message_ != nullptr) {
            g_object_unref(message_);
        }
    }
    std::string Read(std::string* bytes) override;
    std::string Write(const std::string& armour, const std::string& vlb, bool hideSubject,
                      bool keepBcc) override;

  private:
    GMimeMessage* message_ = nullptr;
};

}  // namespace

std::unique_ptr<veldoran::OutgoingMail> veldoran::NewOutgoingMail() {
    return std::make_unique<GMimeOutgoingMail>();
}

std::string GMimeOutgoingMail::Read(std::string* bytes) {
    veldoran::InitGMime();
    if (bytes->size() >= G_MAXUINT) {
        return "the mail is 4 GiB or larger";
    }
    if (!veldoran::IsMail(bytes->data(), bytes->size())) {
        return "not a mail: it does not begin with a header field";
    }
    GByteArray* array = g_byte_array_sized_new(static_cast<guint>(bytes->size()));
    g_byte_array_append(array, reinterpret_cast<const guint8*>(bytes->data()),
                        static_cast<guint>(bytes->size()));
    std::string().swap(*bytes);
    Unref<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
    Unref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    message_ = g_mime_parser_construct_message(parser.get(), nullptr);
    if (message_ == nullptr) {
        return "not a mail: no header could be read";
    }
    AddAddresses(g_mime_message_get_addresses(message_, GMIME_ADDRESS_TYPE_TO), &to_);
    AddAddresses(g_mime_message_get_addresses(message_, GMIME_ADDRESS_TYPE_CC), &cc_);
    const char* subject = g_mime_message_get_subject(message_);
    subject_ = subject != nullptr ? subject : "";

    bool haveLetter = false;
    Collector collector(&letter_, &haveLetter, &files_);
    const std::string refusal = collector.Walk(g_mime_message_get_mime_part(message_), 0);
    if (!refusal.empty()) {
        return refusal;
    }
    if (!haveLetter && collector.sawHtml) {
        return "an HTML letter without a text/plain part: write it as plain text";
    }
    if (letter_.find('\0') != std::string::npos) {
        return "the letter holds a NUL byte: not text";
    }
    return "";
}

std::string GMimeOutgoingMail::Write(const std::string& armour, const std::string& vlb,
                                     bool hideSubject, bool keepBcc) {
    GMimeObject* object = GMIME_OBJECT(message_);
    if (!keepBcc) {
        internet_address_list_clear(g_mime_message_get_addresses(message_, GMIME_ADDRESS_TYPE_BCC));
        // Resent-Bcc holds the blind copies of a resent mail: as hidden as Bcc.
        for (const char* field : {"Bcc", "Resent-Bcc"}) {
            while (g_mime_object_remove_header(object, field)) {
            }
        }
    }
    if (hideSubject) {
        g_mime_message_set_subject(message_, "...", nullptr);
    }
    if (g_mime_object_get_header(object, "MIME-Version") == nullptr) {
        g_mime_object_set_header(object, "MIME-Version", "1.0", nullptr);
    }
    GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(text, armour.c_str());
    g_mime_part_set_content_encoding(GMIME_PART(text), GMIME_CONTENT_ENCODING_7BIT);
    GMimeObject* body = GMIME_OBJECT(text);
    if (!vlb.empty()) {
        GMimePart* file = g_mime_part_new_with_type("application", "octet-stream");
        Unref<GMimeStream> content(g_mime_stream_mem_new_with_buffer(vlb.data(), vlb.size()));
        Unref<GMimeDataWrapper> wrapper(
            g_mime_data_wrapper_new_with_stream(content.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(file, wrapper.get());
        g_mime_part_set_filename(file, "attachments.vlb");
        g_mime_part_set_content_encoding(file, GMIME_CONTENT_ENCODING_BASE64);
        GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
        g_mime_multipart_add(mixed, body);
        g_mime_multipart_add(mixed, GMIME_OBJECT(file));
        g_object_unref(body);
        g_object_unref(file);
        body = GMIME_OBJECT(mixed);
    }
    g_mime_message_set_mime_part(message_, body);
    g_object_unref(body);

    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_UNIX);
    GByteArray* array = g_byte_array_sized_new(static_cast<guint>(vlb.size() / 3 * 4 + 65536));
    Unref<GMimeStream> out(g_mime_stream_mem_new_with_byte_array(array));
    g_mime_object_write_to_stream(object, options, out.get());
    g_mime_format_options_free(options);
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}
