// sendmail: the tool in a mail client's sendmail place. The mail the client hands over is made
// into one that holds nothing in clear (the letter as an armour, every other part packed into
// one encrypted container) and only then handed to the real sendmail command. The whole mail
// is made before that command starts, so that a mail that cannot be encrypted leaves nothing
// behind in a queue, and a refused mail spends no key material at all.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mail/MailText.h"
#include "mail/OutgoingMail.h"
#include "platform/OwnedBlock.h"
#include "shell/tool/ToolCommand.h"
#include "shell/tool/ToolContainer.h"
#include "shell/tool/ToolErrors.h"
#include "shell/tool/ToolFiles.h"
#include "shell/tool/ToolInput.h"
#include "shell/tool/ToolJournal.h"
#include "shell/tool/ToolKeyReuse.h"
#include "shell/tool/ToolMailLayer.h"
#include "shell/tool/ToolSendmailCommand.h"
#include "veldoran.h"

extern char** environ;

namespace tool {

namespace {

// The status of a COMMAND that cannot be started, as a shell gives it.
constexpr int32_t kCommandNotStarted = 127;

struct SendmailOptions {
    const CommonOptions* common = nullptr;
    std::string user;
    bool hideSubject = false;
    bool noReuse = false;
    std::vector<std::string> command;
};

// The program file COMMAND names, looked for on PATH as a shell would; "" with *why set when
// there is none that can be run.
std::string FindProgram(const std::string& name, std::string* why) {
    auto runnable = [](const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) {
        if (runnable(name)) {
            return name;
        }
        *why = "no program file that can be run";
        return "";
    }
    const char* variable = getenv("PATH");
    const std::string path = variable != nullptr ? variable : "/usr/bin:/bin";
    size_t at = 0;
    for (;;) {
        const size_t end = path.find(':', at);
        const std::string folder = path.substr(at, end == std::string::npos ? end : end - at);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (!name.empty() && runnable(candidate)) {
            return candidate;
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    *why = "not found on PATH";
    return "";
}

// The name a file is packed under: its last path component with every control character as
// "_" ("part-N" for a part without a usable name), made unique in the container with "-2",
// "-3", ... before its extension, so that unpack takes every entry.
std::string EntryNameFor(const veldoran::OutgoingFile& file, size_t number,
                         std::set<std::string>* used) {
    std::string name = file.name.substr(
        file.name.find_last_of('/') == std::string::npos ? 0 : file.name.find_last_of('/') + 1);
    for (char& c : name) {
        if (std::iscntrl(static_cast<unsigned char>(c)) != 0) {
            c = '_';
        }
    }
    if (!CheckEntryName(name).empty()) {
        const char* extension = file.type == "text/plain"       ? ".txt"
                                : file.type == "text/html"      ? ".html"
                                : file.type == "message/rfc822" ? ".eml"
                                                                : "";
        name = "part-" + std::to_string(number) + extension;
    }
    const size_t dot = name.rfind('.');
    const size_t stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string unique = name;
    for (int k = 2; !used->insert(unique).second; ++k) {
        unique = name.substr(0, stem) + "-" + std::to_string(k) + name.substr(stem);
    }
    return unique;
}

// Every file of the mail in one LZO container block, *block empty when there is none.
int32_t PackFiles(std::vector<veldoran::OutgoingFile>* files, const SendmailOptions& options,
                  const std::string& to, std::string* block) {
    if (files->empty()) {
        return kNoErr;
    }
    if (files->size() > static_cast<size_t>(knbmaxpj)) {
        return Fail(kOtherErr, "", "the mail has more than 1000 attachments; nothing sent");
    }
    ContainerHolder holder(kformatLZOcompresse);
    holder.container.SetExpediteur(options.user.c_str());
    holder.container.SetDestinataire(to.substr(0, klenmaxdest - 1).c_str());
    std::set<std::string> used;
    for (size_t k = 0; k < files->size(); ++k) {
        veldoran::OutgoingFile& file = (*files)[k];
        const std::string name = EntryNameFor(file, k + 1, &used);
        if (file.content.size() > static_cast<size_t>(TypPieceJointe::kMaxDecompressedSize)) {
            return Fail(kAttachmentToBig, EscapeForTerminal(name),
                        "larger than the " + std::to_string(TypPieceJointe::kMaxDecompressedSize) +
                            " bytes an attachment container holds; nothing sent");
        }
        const int32_t added =
            holder.AddCopy(reinterpret_cast<const unsigned char*>(file.content.data()),
                           static_cast<uint32_t>(file.content.size()), name);
        std::string().swap(file.content);
        if (added != kNoErr) {
            return FailWithResult(added, EscapeForTerminal(name), Activity::kPack);
        }
    }
    veldoran::OwnedBlock packed(&holder.utils);
    const int32_t result = holder.MakeBlock(&packed);
    if (result != kNoErr) {
        return FailWithResult(result, "", Activity::kPack);
    }
    block->assign(reinterpret_cast<const char*>(packed.data()), packed.length());
    return kNoErr;
}

// The key streams that encrypting the container will take, found out without spending
// anything; none for a mail without attachments. 0, or the reason the run cannot even start
// (reported).
int32_t ContainerStreams(const std::string& container, const std::string& user,
                         const std::string& keyPrefix, const ShownFiles& files,
                         LaterStreams* streams) {
    if (container.empty()) {
        return kNoErr;
    }
    const KeyUseProbe probe;
    veldoran::OwnedBlock encrypted;
    const int32_t result =
        crypterbinaireMem2(reinterpret_cast<const unsigned char*>(container.data()),
                           static_cast<uint32_t>(container.size()), encrypted.Pointer(),
                           encrypted.Length(), user.c_str(), keyPrefix.c_str(), 0);
    if (!probe.Asked()) {
        return FailFromReport(result, Activity::kEncryptBinary, files);
    }
    *streams = probe.Streams();
    return kNoErr;
}

// The letter and the container encrypted with the sender's keys. The letter goes first, so that
// what only its own encryption can refuse (the recipient block's marker in it) comes before
// anything is spent; its reuse check counts the container's streams, so that a --no-reuse
// refusal of the two together comes before anything is spent too.
int32_t EncryptMail(const SendmailOptions& options, const std::string& document,
                    const std::string& to, const std::string& cc, std::string* container,
                    std::string* armour) {
    const std::string keyPrefix = KeyFolderPrefix(options.common->keyFolder);
    const ShownFiles files{"-", ""};
    LaterStreams containerStreams;
    int32_t result =
        ContainerStreams(*container, options.user, keyPrefix, files, &containerStreams);
    if (result != kNoErr) {
        return result;
    }
    {
        const KeyReuseCheck reuse(options.noReuse, &containerStreams);
        char* message = nullptr;
        result = crypterMem3(document.c_str(), &message, options.user.c_str(), keyPrefix.c_str(),
                             to.c_str(), cc.c_str(), "", "");
        veldoran::OwnedBlock messageText;
        messageText.AdoptText(&message);
        if (result != kNoErr) {
            return FailFromReport(result, Activity::kEncryptText, files);
        }
        armour->assign(reinterpret_cast<const char*>(messageText.data()), messageText.length() - 1);
    }
    if (container->empty()) {
        return kNoErr;
    }
    const KeyReuseCheck reuse(options.noReuse);
    veldoran::OwnedBlock encrypted;
    result = crypterbinaireMem2(reinterpret_cast<const unsigned char*>(container->data()),
                                static_cast<uint32_t>(container->size()), encrypted.Pointer(),
                                encrypted.Length(), options.user.c_str(), keyPrefix.c_str(),
                                options.common->trace ? 1 : 0);
    if (result != kNoErr) {
        return FailFromReport(result, Activity::kEncryptBinary, files);
    }
    container->assign(reinterpret_cast<const char*>(encrypted.data()), encrypted.length());
    return kNoErr;
}

// The recipient block carries To and Cc as they read back from it, or the mail is refused
// (reported): a reader takes the block's last two comma-separated fields as Cc and Bcc.
int32_t CheckRecipients(const veldoran::OutgoingMail& mail) {
    const veldoran::RecipientListFault fault =
        veldoran::CheckRecipientLists(mail.To(), mail.Cc(), "");
    if (*fault.list == '\0') {
        return kNoErr;
    }
    std::string field = fault.list;
    field[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(field[0])));
    return Fail(kOtherErr, "the " + field + " field", fault.why + "; nothing sent");
}

// Runs COMMAND with the mail on its standard input and returns its status as a result code.
int32_t HandOver(const std::vector<std::string>& command, const std::string& program,
                 const std::string& mail) {
    const std::string shown = EscapeForTerminal(command.front());
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return Fail(kCommandNotStarted, shown,
                    "cannot be started (" + SystemError("pipe", errno) +
                        "): nothing sent, but the key material of this mail is spent");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
    if (spawned != 0) {
        close(ends[1]);
        return Fail(kCommandNotStarted, shown,
                    "cannot be started (" + std::string(strerror(spawned)) +
                        "): nothing sent, but the key material of this mail is spent");
    }
    const int written =
        WriteFully(ends[1], reinterpret_cast<const unsigned char*>(mail.data()), mail.size());
    close(ends[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const char kMayNotHaveLeft[] =
        ": the mail may not have left; the key material it used stays spent";
    if (WIFSIGNALED(status)) {
        return Fail(128 + WTERMSIG(status), shown,
                    "was killed by signal " + std::to_string(WTERMSIG(status)) + kMayNotHaveLeft);
    }
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (exitStatus != 0) {
        return Fail(exitStatus, shown,
                    "failed with status " + std::to_string(exitStatus) + kMayNotHaveLeft);
    }
    if (written != 0) {
        return Fail(kOtherErr, shown,
                    "did not read the whole mail (" + SystemError("write", written) + ")" +
                        kMayNotHaveLeft);
    }
    return kNoErr;
}

int32_t RunSendmail(const SendmailOptions& options) {
    if (RecipientSourceOf(options.command) == RecipientSource::kUndecided) {
        return Fail(kUsageStatus, EscapeForTerminal(options.command.front()),
                    "has -t behind a recipient, which one sendmail takes for an address and "
                    "another for the option, so that Bcc would reach every recipient or none; "
                    "put -t before the recipients: nothing encrypted, nothing sent");
    }
    std::string why;
    const std::string program = FindProgram(options.command.front(), &why);
    if (program.empty()) {
        return Fail(kCommandNotStarted, EscapeForTerminal(options.command.front()),
                    "cannot be started (" + why + "): nothing encrypted, nothing sent");
    }
    const veldoran::MailLayer* layer = LoadMailLayer(&why);
    if (layer == nullptr) {
        return Fail(
            kOtherErr, "standard input",
            "the mail reader cannot be loaded (" + why + "): nothing encrypted, nothing sent");
    }
    const JournalScope journal(*options.common);
    std::string input;
    int32_t result = ReadWholeInput("-", &input);
    if (result != kNoErr) {
        return result;
    }
    const std::unique_ptr<veldoran::OutgoingMail> mail = layer->newOutgoingMail();
    const std::string refusal = mail->Read(&input);
    if (!refusal.empty()) {
        return Fail(kOtherErr, "standard input", refusal + "; nothing sent");
    }
    result = CheckRecipients(*mail);
    if (result != kNoErr) {
        return result;
    }
    std::string document;
    std::string refused;
    if (!veldoran::Utf8ToWindows1252(options.hideSubject
                                         ? "Subject: " + mail->Subject() + "\n\n" + mail->Letter()
                                         : mail->Letter(),
                                     &document, &refused)) {
        return Fail(kOtherErr, "standard input",
                    "the letter holds " + refused +
                        ", which the text encryption cannot carry (it takes the characters of "
                        "Windows-1252); nothing sent");
    }
    std::string container;
    result = PackFiles(&mail->Files(), options, mail->To(), &container);
    if (result != kNoErr) {
        return result;
    }
    std::string armour;
    result = EncryptMail(options, document, mail->To(), mail->Cc(), &container, &armour);
    if (result != kNoErr) {
        return result;
    }
    // A sendmail that reads the recipients from the header takes the blind copies from there and
    // removes them itself; any other takes them as arguments, and they must not reach the
    // recipients.
    const std::string out =
        mail->Write(armour, container, options.hideSubject,
                    RecipientSourceOf(options.command) == RecipientSource::kHeader);
    std::string().swap(container);
    return HandOver(options.command, program, out);
}

}  // namespace

void AddSendmail(CLI::App* app, CommonOptions* common, Work* run) {
    auto options = std::make_shared<SendmailOptions>();
    options->common = common;
    CLI::App* command = app->add_subcommand(
        "sendmail",
        "veldoran-tool sendmail -u USER [-k KEYS] [--hide-subject] [--no-reuse] [--] COMMAND "
        "[ARGS...]. Stand in a mail client's sendmail place: read the mail on the standard input, "
        "encrypt "
        "the letter and pack and encrypt every attachment (as attachments.vlb), then hand the "
        "mail to COMMAND (the real sendmail and its arguments) and exit with its status.");
    command->footer(
        "Recipients of To and Cc go into the message's recipient block; Bcc recipients never "
        "do, and the Bcc and Resent-Bcc fields are removed (kept for a COMMAND that reads the "
        "recipients from the header and removes them itself: -t, -ti, -it, -oi -t, "
        "--read-recipients; a -t behind a recipient is refused). The Subject travels in clear "
        "unless --hide-subject. A mail with "
        "HTML and no text/plain, or with a part that cannot be encrypted, is refused: nothing "
        "is sent and the status is not 0. Status 127: COMMAND cannot be started.\n");
    command->add_option("-u,--user", options->user, "the sender: the name of the sender's key file")
        ->required()
        ->check(KeyNameCheck());
    AddKeyFolderOption(command, common);
    command->add_flag("--hide-subject", options->hideSubject,
                      "send \"...\" as the Subject and carry the Subject as the letter's first "
                      "line");
    command->add_flag("--no-reuse", options->noReuse,
                      "refuse, before any key file is touched, a mail that would wrap a key");
    RunsWith(command, run, [options]() {
        options->command = SendmailCommand();
        if (options->command.empty()) {
            return Fail(kUsageStatus, "",
                        "sendmail needs the COMMAND to hand the mail to; see veldoran-tool "
                        "sendmail --help");
        }
        return RunSendmail(*options);
    });
}

}  // namespace tool
