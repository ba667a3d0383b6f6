// What the mail layer's readers and writer share of GMime: its one-time start, a holder that
// releases a GMime object however a walk ends, a part's media type, and a part's content without
// its transfer encoding. Included by the mail layer's own files only.
#ifndef VELDORAN_MAIL_MAILGMIME_H
#define VELDORAN_MAIL_MAILGMIME_H

#include <gmime/gmime.h>

#include <string>

namespace veldoran {

void InitGMime();

template <typename T>
struct Unref {
    explicit Unref(T* object) : object_(object) {}
    ~Unref() {
        if (object_ != nullptr) {
            g_object_unref(object_);
        }
    }
    Unref(const Unref&) = delete;
    Unref& operator=(const Unref&) = delete;
    T* get() const { return object_; }

  private:
    T* object_;
};

// The media type in lower case, "text/plain" for none.
std::string LowerMediaType(GMimeContentType* type);

// The part's content without its transfer encoding, converted to UTF-8 from charset when that
// is given (not null) and known; *charsetKnown (may be null) false when it is given but unknown,
// and the text is then as it stands. crLfAsLf takes CR LF line ends as LF.
std::string DecodePart(GMimePart* part, const char* charset, bool* charsetKnown,
                       bool crLfAsLf = false);

}  // namespace veldoran

#endif
