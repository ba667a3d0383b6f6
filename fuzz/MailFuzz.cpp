// Property: for any input taken as a received mail or mailbox, the mail reader hands over parts
// and the armour search finds in each part only whole armours that stand in that part's text:
// every one begins with the start marker, ends with the first end marker behind it and lies
// inside the text; the armours kept for decryption are such slices, each once. No input
// crashes the reader, makes it read outside the input or leaks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "common/FuzzTarget.h"
#include "mail/MailArmours.h"
#include "mail/MailReader.h"

namespace {

using fuzzsupport::Check;

constexpr char kStart[] = "#BINASCII1#";
constexpr char kEnd[] = "#ENDBINASCII1#";

void CheckPart(const veldoran::MailPart& part, veldoran::MailArmours* kept) {
    const std::string& text = part.content;
    size_t previousEnd = 0;
    std::set<std::pair<size_t, size_t>> places;
    veldoran::FindArmours(text.data(), text.size(), [&](const veldoran::ArmourPlace& place) {
        Check(place.begin >= previousEnd && place.begin < place.end && place.end <= text.size());
        Check(text.compare(place.begin, strlen(kStart), kStart) == 0);
        Check(place.end - place.begin >= strlen(kStart) + strlen(kEnd));
        Check(text.compare(place.end - strlen(kEnd), strlen(kEnd), kEnd) == 0);
        // The end marker closing it is the first one behind the start marker.
        Check(text.find(kEnd, place.begin + strlen(kStart)) == place.end - strlen(kEnd));
        previousEnd = place.end;
        places.insert({place.begin, place.end});
    });
    const size_t before = kept->Found().size();
    kept->Search(text, part.letter);
    for (size_t i = before; i < kept->Found().size(); ++i) {
        const veldoran::MailArmour& armour = kept->Found()[i];
        Check(*armour.text == text && places.count({armour.begin, armour.end}) == 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string mail(reinterpret_cast<const char*>(data), size);
    veldoran::MailArmours kept;
    veldoran::ReadMail(
        &mail, [&](veldoran::MailPart& part) { CheckPart(part, &kept); },
        [](const std::string& notice) { Check(!notice.empty()); });
    return 0;
}
