// The armours in the texts of a mail, found with the library's armour finder: each one's text
// from its start marker to the end of its end marker, the key comment line of its sender's key
// that stands above it, and where it stands, so that a display filter can put the document in
// its place.
#ifndef VELDORAN_MAIL_MAILARMOURS_H
#define VELDORAN_MAIL_MAILARMOURS_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace veldoran {

// One armour in a text.
struct ArmourPlace {
    size_t begin = 0;  // the start marker's first byte
    size_t end = 0;    // the byte behind the end marker
    // A digest of the armour's decoded bytes (of its letters when none decode): the same armour
    // in two forms (quoted, flowed, in HTML) gives the same digest.
    uint64_t digest = 0;
    size_t decodedLength = 0;
};

// Calls found for every whole armour in text, in order; a start marker without an end marker
// behind it, or an end marker before any start marker, is passed over. Time linear in the text.
void FindArmours(const char* text, size_t length,
                 const std::function<void(const ArmourPlace&)>& found);

// The last key comment line ("$VELDORAN initial, clef ...") in text[from, to), from its "$" to
// its line end; "" when there is none.
std::string LastKeyComment(const char* text, size_t from, size_t to);

// An armour to decrypt: where it stands in the decoded text it was found in (shared by every
// armour of that text, so that none is copied out of it), and its sender key's comment.
struct MailArmour {
    std::shared_ptr<std::string> text;
    size_t begin = 0;
    size_t end = 0;
    std::string comment;
    size_t letter = 1;

    std::string Armour() const { return text->substr(begin, end - begin); }
};

// The armours of a whole mail or mailbox in the order found, each once.
class MailArmours {
  public:
    // Adds the armours of one decoded text, taken over; it is kept while an armour stands in it.
    void Search(std::string text, size_t letter);
    std::vector<MailArmour>& Found() { return found_; }

  private:
    std::vector<MailArmour> found_;
    std::set<std::pair<uint64_t, size_t>> seen_;  // digest and decoded length
};

}  // namespace veldoran

#endif
