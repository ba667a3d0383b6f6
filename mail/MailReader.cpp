// GMime parses, decodes transfer encodings and charsets and reads RFC 2047 and RFC 2231 names;
// this file walks the parts it builds and applies the two text transforms of MailText.
#include "mail/MailReader.h"

#include <gmime/gmime.h>
#include <sys/mman.h>
#include <unistd.h>

#include "mail/MailGMime.h"
#include "mail/MailShape.h"
#include "mail/MailText.h"

namespace {

using veldoran::LowerMediaType;
using veldoran::Unref;

class Walker {
  public:
    Walker(const veldoran::MailPartSink& sink, const veldoran::MailNoticeSink& notice)
        : sink_(sink), notice_(notice) {}

    void Walk(GMimeObject* object, int depth, size_t letter) {
        if (object == nullptr) {
            return;
        }
        if (depth > veldoran::kDeepestPart) {
            if (!toldDepth_) {
                notice_("parts nested deeper than " + std::to_string(veldoran::kDeepestPart) +
                        " levels passed over");
                toldDepth_ = true;
            }
            return;
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner != nullptr) {
                Walk(g_mime_message_get_mime_part(inner), depth + 1, letter);
            }
            return;
        }
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            const bool alternative =
                LowerMediaType(g_mime_object_get_content_type(object)) == "multipart/alternative";
            bool plainBeside = false;
            for (int i = 0; alternative && i < count; ++i) {
                GMimeObject* child = g_mime_multipart_get_part(multipart, i);
                plainBeside =
                    plainBeside ||
                    (GMIME_IS_PART(child) &&
                     LowerMediaType(g_mime_object_get_content_type(child)) == "text/plain");
            }
            // The text around the parts is searched too: behind a broken boundary it is all
            // that is left of the body.
            Around(g_mime_multipart_get_prologue(multipart), letter);
            for (int i = 0; i < count; ++i) {
                GMimeObject* child = g_mime_multipart_get_part(multipart, i);
                if (plainBeside && GMIME_IS_PART(child) &&
                    LowerMediaType(g_mime_object_get_content_type(child)) == "text/html") {
                    continue;
                }
                Walk(child, depth + 1, letter);
            }
            Around(g_mime_multipart_get_epilogue(multipart), letter);
            return;
        }
        if (GMIME_IS_PART(object)) {
            Leaf(GMIME_PART(object), letter);
        }
    }

  private:
    void Around(const char* text, size_t letter) {
        if (text == nullptr || *text == '\0') {
            return;
        }
        veldoran::MailPart out;
        out.letter = letter;
        out.type = "text/plain";
        out.content = text;
        sink_(out);
    }

    void Leaf(GMimePart* part, size_t letter) {
        veldoran::MailPart out;
        out.letter = letter;
        GMimeObject* object = GMIME_OBJECT(part);
        GMimeContentType* type = g_mime_object_get_content_type(object);
        out.type = LowerMediaType(type);
        const char* name = g_mime_part_get_filename(part);
        out.name = name != nullptr ? name : "";
        GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
        out.attachment =
            !out.name.empty() || (disposition != nullptr &&
                                  g_mime_content_disposition_is_attachment(disposition) != FALSE);
        const bool text = out.type.compare(0, 5, "text/") == 0;
        out.content =
            Decode(part, text ? g_mime_content_type_get_parameter(type, "charset") : nullptr);
        if (out.type == "text/plain" && !out.attachment) {
            const char* format = g_mime_content_type_get_parameter(type, "format");
            if (format != nullptr && g_ascii_strcasecmp(format, "flowed") == 0) {
                const char* delSp = g_mime_content_type_get_parameter(type, "delsp");
                out.content = veldoran::UnflowText(
                    out.content, delSp != nullptr && g_ascii_strcasecmp(delSp, "yes") == 0);
            }
        } else if (out.type == "text/html" && !out.attachment) {
            out.content = veldoran::HtmlToText(out.content);
        }
        sink_(out);
    }

    // The part's content as DecodePart gives it; an unknown charset is told once per part.
    std::string Decode(GMimePart* part, const char* charset) {
        bool known = true;
        std::string content = veldoran::DecodePart(part, charset, &known);
        if (!known) {
            std::string shown;
            for (const char* c = charset; *c != '\0' && shown.size() < 40; ++c) {
                shown.push_back(g_ascii_isgraph(*c) ? *c : '?');
            }
            notice_("charset " + shown + " unknown: its text read as it stands");
        }
        return content;
    }

    const veldoran::MailPartSink& sink_;
    const veldoran::MailNoticeSink& notice_;
    bool toldDepth_ = false;
};

// Reads the mails of stream, a mailbox when mailbox.
size_t ReadStream(GMimeStream* stream, bool mailbox, const veldoran::MailPartSink& sink,
                  const veldoran::MailNoticeSink& notice) {
    Unref<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
    g_mime_parser_set_format(parser.get(), mailbox ? GMIME_FORMAT_MBOX : GMIME_FORMAT_MESSAGE);
    Walker walker(sink, notice);
    size_t letters = 0;
    while (!g_mime_parser_eos(parser.get())) {
        Unref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
        if (message.get() == nullptr) {
            break;
        }
        ++letters;
        walker.Walk(g_mime_message_get_mime_part(message.get()), 0, letters);
        if (!mailbox) {
            break;
        }
    }
    return letters;
}

}  // namespace

size_t veldoran::ReadMail(std::string* bytes, const MailPartSink& sink,
                          const MailNoticeSink& notice) {
    veldoran::InitGMime();
    const size_t start = MailStart(bytes->data(), bytes->size());
    const bool mailbox = IsMailbox(bytes->data() + start, bytes->size() - start);
    if (bytes->size() >= G_MAXUINT) {
        notice("the mail is 4 GiB or larger: not read");
        return 0;
    }
    GByteArray* array = g_byte_array_sized_new(static_cast<guint>(bytes->size() - start));
    g_byte_array_append(array, reinterpret_cast<const guint8*>(bytes->data() + start),
                        static_cast<guint>(bytes->size() - start));
    std::string().swap(*bytes);
    Unref<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
    return ReadStream(stream.get(), mailbox, sink, notice);
}

size_t veldoran::ReadMailFile(int fd, const MailPartSink& sink, const MailNoticeSink& notice) {
    veldoran::InitGMime();
    char head[4096];
    const ssize_t got = pread(fd, head, sizeof head, 0);
    const size_t headLength = got > 0 ? static_cast<size_t>(got) : 0;
    const size_t start = MailStart(head, headLength);
    const bool mailbox = IsMailbox(head + start, headLength - start);
    // Mapped from the mail's start whatever the descriptor's offset: a copy just written
    // stands at its end.
    Unref<GMimeStream> stream(g_mime_stream_mmap_new_with_bounds(
        fd, PROT_READ, MAP_PRIVATE, static_cast<gint64>(start), -1));
    if (stream.get() == nullptr) {
        close(fd);
        notice("cannot be mapped: not read");
        return 0;
    }
    return ReadStream(stream.get(), mailbox, sink, notice);
}
