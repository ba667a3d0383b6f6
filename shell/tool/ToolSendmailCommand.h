// sendmail's COMMAND on the tool's command line: where it starts, so that it and its arguments
// are set aside before the tool's own options are parsed, and whether it takes the recipients
// from the mail's header, which decides whether the blind-copy fields may stay in what leaves.
#ifndef VELDORAN_SHELL_TOOL_TOOLSENDMAILCOMMAND_H
#define VELDORAN_SHELL_TOOL_TOOLSENDMAILCOMMAND_H

#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace tool {

// When argv runs the sendmail subcommand, sets its COMMAND and the arguments behind it aside:
// COMMAND starts behind "--" or at the first word that is neither an option (of sendmail's or of
// the program's, as app knows them) nor the value of one. Returns the count of arguments left to
// parse (argc when nothing was set aside).
int TakeSendmailCommand(const CLI::App& app, int argc, char** argv);

// COMMAND and its arguments as TakeSendmailCommand set them aside; empty when none were.
std::vector<std::string> SendmailCommand();

// How COMMAND takes the recipients: from its arguments, or from the header (Bcc included, which
// it then removes itself); or undecided, when a -t stands behind a recipient, where a sendmail
// that stops its options at the first operand (Postfix, Exim) takes it for an address and one
// that reorders them (sendmail, msmtp) for the option.
enum class RecipientSource { kArguments, kHeader, kUndecided };

// Reads the options of command (COMMAND, then its arguments) as the sendmail programs read theirs
// up to "--": -t, also among grouped letters (-ti, -it, -oi -t, -tif ADDR) but not as or inside
// the value of a letter that takes one (-bt, -oit, -f -t), and msmtp's --read-recipients or a
// beginning of it that no other option shares (--read-r ...).
RecipientSource RecipientSourceOf(const std::vector<std::string>& command);

}  // namespace tool

#endif
