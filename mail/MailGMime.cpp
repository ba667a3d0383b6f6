// GMime's start and the part decoding the mail layer's readers and writer share.
#include "mail/MailGMime.h"

#include <mutex>

namespace {

bool IsAsciiCharset(const char* charset) {
    return charset == nullptr || g_ascii_strcasecmp(charset, "utf-8") == 0 ||
           g_ascii_strcasecmp(charset, "utf8") == 0 || g_ascii_strcasecmp(charset, "us-ascii") == 0;
}

}  // namespace

void veldoran::InitGMime() {
    static std::once_flag once;
    std::call_once(once, []() { g_mime_init(); });
}

std::string veldoran::LowerMediaType(GMimeContentType* type) {
    if (type == nullptr) {
        return "text/plain";
    }
    char* text = g_mime_content_type_get_mime_type(type);
    std::string lower = text != nullptr ? text : "text/plain";
    g_free(text);
    for (char& c : lower) {
        c = static_cast<char>(g_ascii_tolower(c));
    }
    return lower;
}

std::string veldoran::DecodePart(GMimePart* part, const char* charset, bool* charsetKnown,
                                 bool crLfAsLf) {
    if (charsetKnown != nullptr) {
        *charsetKnown = true;
    }
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) {
        return std::string();
    }
    // Room for the encoded size up front: a decoded part is no longer, so the array is never
    // copied as it grows.
    GMimeStream* encoded = g_mime_data_wrapper_get_stream(content);
    const gint64 encodedLength = encoded != nullptr ? g_mime_stream_length(encoded) : 0;
    GByteArray* array = g_byte_array_sized_new(
        encodedLength > 0 && encodedLength < G_MAXINT ? static_cast<guint>(encodedLength) : 0);
    Unref<GMimeStream> memory(g_mime_stream_mem_new_with_byte_array(array));
    Unref<GMimeStream> filtered(g_mime_stream_filter_new(memory.get()));
    if (!IsAsciiCharset(charset)) {
        GMimeFilter* convert = g_mime_filter_charset_new(charset, "UTF-8");
        if (convert != nullptr) {
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), convert);
            g_object_unref(convert);
        } else if (charsetKnown != nullptr) {
            *charsetKnown = false;
        }
    }
    if (crLfAsLf) {
        GMimeFilter* lineEnds = g_mime_filter_dos2unix_new(FALSE);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), lineEnds);
        g_object_unref(lineEnds);
    }
    g_mime_data_wrapper_write_to_stream(content, filtered.get());
    g_mime_stream_flush(filtered.get());
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}
