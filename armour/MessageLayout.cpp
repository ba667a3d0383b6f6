// The recipient block read back by the one rule every reader of a decrypted message uses, and the
// check that lists written into a block come back as they were written.
#include "armour/MessageLayout.h"

namespace veldoran {

namespace {

constexpr size_t kStartLength = sizeof kRecipientBlockStart - 1;
constexpr size_t kEndLength = sizeof kRecipientBlockEnd - 1;

}  // namespace

RecipientBlockShape ReadRecipientBlock(const std::string& tail, RecipientLists* lists) {
    *lists = RecipientLists();
    const size_t end = tail.find(kRecipientBlockEnd, kStartLength);
    if (tail.compare(0, kStartLength, kRecipientBlockStart) != 0 || end == std::string::npos) {
        return RecipientBlockShape::kNone;
    }
    const std::string between = tail.substr(kStartLength, end - kStartLength);
    lists->parameters = tail.substr(end + kEndLength);
    const size_t last = between.rfind(',');
    const size_t middle =
        last == std::string::npos || last == 0 ? std::string::npos : between.rfind(',', last - 1);
    if (middle == std::string::npos) {
        lists->to = between;
        return RecipientBlockShape::kOneList;
    }
    lists->to = between.substr(0, middle);
    lists->cc = between.substr(middle + 1, last - middle - 1);
    lists->bcc = between.substr(last + 1);
    return RecipientBlockShape::kThreeLists;
}

RecipientListFault CheckRecipientLists(const std::string& to, const std::string& cc,
                                       const std::string& bcc) {
    const std::string block = kRecipientBlockStart + to + "," + cc + "," + bcc + kRecipientBlockEnd;
    RecipientLists read;
    if (ReadRecipientBlock(block, &read) == RecipientBlockShape::kThreeLists && read.to == to &&
        read.cc == cc && read.bcc == bcc && read.parameters.empty()) {
        return {};
    }
    // An end marker before the block's own lies in the list where it ends (a bcc that ends
    // with "#DESTEND" makes one with the block's own "#").
    const size_t end = block.find(kRecipientBlockEnd, kStartLength);
    if (end + kEndLength < block.size()) {
        const size_t markerEnd = end + kEndLength;
        const size_t ccStart = kStartLength + to.size() + 1;
        const size_t bccStart = ccStart + cc.size() + 1;
        return {markerEnd <= ccStart    ? "to"
                : markerEnd <= bccStart ? "cc"
                                        : "bcc",
                std::string("would end the recipient block early: it holds its end marker ") +
                    kRecipientBlockEnd + " or ends with its beginning"};
    }
    // Otherwise only a comma in cc or bcc reads back otherwise: the last two are taken as theirs.
    return {cc.find(',') != std::string::npos ? "cc" : "bcc",
            "holds a comma, which the recipient block would read as the end of a list (only To "
            "may hold commas)"};
}

}  // namespace veldoran
