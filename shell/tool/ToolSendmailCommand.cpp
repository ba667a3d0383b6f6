// sendmail's COMMAND: set aside from the tool's command line, and read as the sendmail programs
// read their own options (sendmail, Postfix, Exim, msmtp and the small ones that copy them).
#include "shell/tool/ToolSendmailCommand.h"

#include <CLI/CLI.hpp>
#include <cstring>

namespace tool {

namespace {

// The letters that take a value in at least one of the sendmail programs (sendmail's
// "B:b:C:d:e:F:f:h:L:M:N:O:o:p:Q:q:R:r:V:X:", Postfix's "A:" "D:", msmtp's "a:"): the rest of
// their word, or else the next word, is that value. A letter that is a flag in one program and
// takes a value in another counts as taking one, so that a value is never read as -t.
constexpr char kLettersWithValue[] = "ABCDFLMNOQRVXabdefhopqr";

// msmtp's long option, and the shortest beginning of it that no other of its options shares.
constexpr char kReadRecipients[] = "--read-recipients";
constexpr size_t kShortestReadRecipients = sizeof "--read-r" - 1;

std::vector<std::string>& CommandTail() {
    static std::vector<std::string> tail;
    return tail;
}

// Whether word is an option of command, or of a command it falls through to, that takes its
// value from the next word (a value given with "=" or attached to a short name stays in word).
bool TakesNextWord(const CLI::App* command, const std::string& word) {
    if (word.size() < 2 || word[0] != '-' || word.find('=') != std::string::npos) {
        return false;
    }
    for (; command != nullptr; command = command->get_parent()) {
        const CLI::Option* option = command->get_option_no_throw(word);
        if (option != nullptr) {
            return option->get_items_expected_min() > 0;
        }
        if (!command->get_fallthrough()) {
            return false;
        }
    }
    return false;
}

// Where the words that are options of command (and their values) end, from first on.
int EndOfOptions(const CLI::App* command, int first, int argc, char** argv) {
    int at = first;
    while (at < argc && argv[at][0] == '-' && strcmp(argv[at], "--") != 0) {
        at += TakesNextWord(command, argv[at]) ? 2 : 1;
    }
    return at;
}

bool IsReadRecipients(const std::string& word) {
    return word.size() >= kShortestReadRecipients &&
           strncmp(kReadRecipients, word.c_str(), word.size()) == 0 &&
           word.size() <= sizeof kReadRecipients - 1;
}

}  // namespace

int TakeSendmailCommand(const CLI::App& app, int argc, char** argv) {
    const int name = EndOfOptions(&app, 1, argc, argv);
    if (name >= argc || strcmp(argv[name], "sendmail") != 0) {
        return argc;
    }
    const int end = EndOfOptions(app.get_subcommand("sendmail"), name + 1, argc, argv);
    if (end >= argc) {
        return argc;
    }
    const int first = strcmp(argv[end], "--") == 0 ? end + 1 : end;
    CommandTail().assign(argv + first, argv + argc);
    return end;
}

std::vector<std::string> SendmailCommand() {
    return CommandTail();
}

RecipientSource RecipientSourceOf(const std::vector<std::string>& command) {
    bool fromHeader = false;
    bool pastOperand = false;
    bool mayBeValue = false;  // behind a long option, which may take the next word as its value
    for (size_t k = 1; k < command.size() && command[k] != "--"; ++k) {
        const std::string& word = command[k];
        if (word.size() < 2 || word[0] != '-') {
            pastOperand = pastOperand || !mayBeValue;
            mayBeValue = false;
            continue;
        }
        bool readsHeader = false;
        mayBeValue = word[1] == '-' && word.find('=') == std::string::npos;
        if (word[1] == '-') {
            readsHeader = IsReadRecipients(word);
        } else {
            // Grouped letters up to the first that takes a value; that one's value is the rest
            // of the word, or the next word when the rest is empty.
            size_t at = 1;
            while (at < word.size() && strchr(kLettersWithValue, word[at]) == nullptr) {
                readsHeader = readsHeader || word[at] == 't';
                ++at;
            }
            if (at + 1 == word.size()) {
                ++k;
            }
        }
        if (readsHeader && pastOperand) {
            return RecipientSource::kUndecided;
        }
        fromHeader = fromHeader || readsHeader;
    }
    return fromHeader ? RecipientSource::kHeader : RecipientSource::kArguments;
}

}  // namespace tool
