// veldoran-tool: the whole system from the command line. This file only parses the arguments
// (with CLI11) and hands the option values to the subcommand's function; the file work is in
// the other files of this folder. Exit status: 0 on success, 2 for a usage error, 3 for a
// --no-reuse refusal, otherwise the library's result code in its low eight bits, as the
// veldoran program's.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <string>

#include "shell/tool/ToolCommands.h"
#include "shell/tool/ToolErrors.h"
#include "veldoran.h"

namespace {

using tool::Activity;

const char kCrLfNote[] =
    "The document is taken as text: a NUL byte is refused, and CR LF line ends (as mail "
    "clients pass bodies) are taken as LF, so that the text does not come back with doubled "
    "lines.\n";

const char kKeyFolderHelp[] =
    "folder that holds Clefs/ with the key files (default: the current folder)";

// A key or user name for the parser: the same rule as key files.
CLI::Validator KeyNameCheck() {
    return CLI::Validator([](std::string& name) { return tool::CheckKeyName(name); }, "NAME");
}

// The deepest subcommand the command line selected, for "see ... --help".
std::string SelectedCommand(const CLI::App& app) {
    std::string command = app.get_name();
    const CLI::App* current = &app;
    for (;;) {
        const std::vector<const CLI::App*> selected =
            current->get_subcommands([](const CLI::App* sub) { return sub->parsed(); });
        if (selected.empty()) {
            return command;
        }
        current = selected.front();
        command += " " + current->get_name();
    }
}

struct Options {
    bool trace = false;
    tool::EncryptOptions encrypt;
    tool::DecryptOptions decrypt;
    tool::PackOptions pack;
    tool::UnpackOptions unpack;
    tool::BinaryOptions encryptBinary;
    tool::BinaryOptions decryptBinary;
    tool::KeyNewOptions keyNew;
    tool::KeyShowOptions keyShow;
};

// Once the parser has filled the options, the subcommand's work is what main runs.
void RunsWith(CLI::App* command, std::function<int32_t()>* run, std::function<int32_t()> work) {
    command->callback([run, work]() { *run = work; });
}

void AddEncrypt(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    tool::EncryptOptions& o = options->encrypt;
    CLI::App* command = app->add_subcommand(
        "encrypt",
        "Encrypt a text document into a message for the body of a mail: two key comment lines, "
        "an empty line and the armoured text. FILE gives FILE.vlx; the standard input (no FILE, "
        "or -) gives the standard output.");
    command->footer(kCrLfNote);
    command->add_option("FILE", o.input, "the document; - or none: the standard input");
    command->add_option("-u,--user", o.user, "the sender: the name of the sender's key file")
        ->required()
        ->check(KeyNameCheck());
    command->add_option("-k,--keys", o.keyFolder, kKeyFolderHelp);
    command->add_option("--to", o.to, "primary recipients, one text");
    command->add_option("--cc", o.cc, "copy recipients, one text");
    command->add_option("--bcc", o.bcc, "blind-copy recipients, one text");
    command->add_option("--param", o.param, "parameter text carried behind the recipients");
    command->add_option("-o,--output", o.output, "the message file; - for the standard output");
    command->add_flag("--no-reuse", o.noReuse,
                      "refuse, before any key file is touched, a message that would wrap a key "
                      "and use key material again (otherwise: a warning)");
    command->add_flag("--force", o.force, "allow the message to replace the document itself");
    RunsWith(command, run, [options]() {
        options->encrypt.trace = options->trace;
        return tool::RunEncrypt(options->encrypt);
    });
}

void AddDecrypt(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    tool::DecryptOptions& o = options->decrypt;
    CLI::App* command = app->add_subcommand(
        "decrypt",
        "Decrypt a message back into the document. The armour is found anywhere in the input, "
        "so a whole saved e-mail or a quoted reply will do. FILE gives FILE.txt; the standard "
        "input (no FILE, or -) gives the standard output.");
    command->add_option("FILE", o.input, "the message or mail; - or none: the standard input");
    command->add_option("-k,--keys", o.keyFolder, kKeyFolderHelp);
    command->add_option("-o,--output", o.output, "the document file; - for the standard output");
    command->add_flag("--recipients", o.recipients,
                      "print the recipient lists (to, cc, bcc) and any parameter text on the "
                      "standard error stream");
    command->add_flag("--force", o.force, "allow the document to replace the message itself");
    RunsWith(command, run, [options]() {
        options->decrypt.trace = options->trace;
        return tool::RunDecrypt(options->decrypt);
    });
}

void AddBinary(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    tool::BinaryOptions& e = options->encryptBinary;
    CLI::App* encrypt = app->add_subcommand(
        "encrypt-binary",
        "Encrypt any file into the raw two-layer frame (448 bytes longer, no armour). FILE "
        "gives FILE.vlb.");
    encrypt->add_option("FILE", e.input, "the file to encrypt")->required();
    encrypt->add_option("-u,--user", e.user, "the sender: the name of the sender's key file")
        ->required()
        ->check(KeyNameCheck());
    encrypt->add_option("-k,--keys", e.keyFolder, kKeyFolderHelp);
    encrypt->add_option("-o,--output", e.output, "the encrypted file");
    encrypt->add_flag("--no-reuse", e.noReuse,
                      "refuse, before any key file is touched, a file that would wrap a key");
    encrypt->add_flag("--force", e.force, "allow the result to replace the file itself");
    RunsWith(encrypt, run, [options]() {
        options->encryptBinary.trace = options->trace;
        return tool::RunEncryptBinary(options->encryptBinary);
    });

    tool::BinaryOptions& d = options->decryptBinary;
    CLI::App* decrypt = app->add_subcommand(
        "decrypt-binary",
        "Decrypt a file made by encrypt-binary. FILE gives FILE less its last four characters "
        "(report.pdf.vlb gives report.pdf).");
    decrypt->add_option("FILE", d.input, "the encrypted file")->required();
    decrypt->add_option("-k,--keys", d.keyFolder, kKeyFolderHelp);
    decrypt->add_option("-o,--output", d.output, "the decrypted file");
    decrypt->add_flag("--force", d.force, "allow the result to replace the file itself");
    RunsWith(decrypt, run, [options]() {
        options->decryptBinary.trace = options->trace;
        return tool::RunDecryptBinary(options->decryptBinary);
    });
}

// A text that must fit a fixed field of the attachment container.
CLI::Validator MaxLength(size_t longest) {
    return CLI::Validator(
        [longest](std::string& text) {
            return text.size() <= longest ? std::string()
                                          : "at most " + std::to_string(longest) + " bytes";
        },
        "TEXT");
}

void AddPack(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    tool::PackOptions& o = options->pack;
    CLI::App* command = app->add_subcommand(
        "pack",
        "Pack files into one attachment container, each under its file name (the last path "
        "component), stored as they are or LZO-compressed. To send it, encrypt it: --encrypt here, "
        "or encrypt-binary.");
    command->add_option("FILE", o.files, "the files to pack, at most 1000")->required();
    command->add_option("-o,--output", o.output, "the container file")->required();
    command->add_flag("--lzo", o.lzo, "compress each file with LZO1X-1");
    command->add_option("--from", o.from, "the sender, carried in the container")
        ->check(MaxLength(63));
    command->add_option("--to", o.to, "the recipients, carried in the container")
        ->check(MaxLength(klenmaxdest - 1));
    command->add_flag("--force", o.force, "allow the container to replace one of the files");
    CLI::Option* user =
        command->add_option("-u,--user", o.user, "with --encrypt: the sender's key name")
            ->check(KeyNameCheck());
    command->add_option("-k,--keys", o.keyFolder, kKeyFolderHelp);
    command
        ->add_flag("--encrypt", o.encrypt,
                   "encrypt the container as encrypt-binary does, in one step")
        ->needs(user);
    command->add_flag("--no-reuse", o.noReuse,
                      "with --encrypt: refuse a container that would wrap a key");
    RunsWith(command, run, [options]() {
        options->pack.trace = options->trace;
        return tool::RunPack(options->pack);
    });
}

void AddUnpack(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    tool::UnpackOptions& o = options->unpack;
    CLI::App* command = app->add_subcommand(
        "unpack",
        "Write the files of an attachment container into a folder, or list them. FILE may be "
        "the container or the container encrypted (by pack --encrypt or encrypt-binary): it is "
        "then decrypted with the key files first. Entry names come from the sender: a name "
        "that is empty, absolute, holds a \"/\" or a control character, or is \".\" or "
        "\"..\", is refused and reported, and so is a name already written; a link standing "
        "in the folder is never followed, and an existing file is replaced only with --force. "
        "Every other entry is written; the exit status is 255 when any was refused or failed.");
    command->add_option("FILE", o.input, "the container; - or none: the standard input");
    command->add_option("-C,--directory", o.folder,
                        "the folder to write into (default: the current folder); it must exist");
    command->add_option("-k,--keys", o.keyFolder, kKeyFolderHelp);
    command->add_flag("--list", o.list,
                      "only list the sender, the recipients and each entry's size and name");
    command->add_flag("--force", o.force, "replace existing plain files of the same names");
    RunsWith(command, run, [options]() {
        options->unpack.trace = options->trace;
        return tool::RunUnpack(options->unpack);
    });
}

void AddKey(CLI::App* app, Options* options, std::function<int32_t()>* run) {
    CLI::App* key = app->add_subcommand("key", "Make key files and show what they hold.");
    key->require_subcommand(1);

    tool::KeyNewOptions& n = options->keyNew;
    CLI::App* make = key->add_subcommand(
        "new",
        "Make the key file KEYDIR/Clefs/NAME.<year text> (years since 1900: 126 for 2026) with "
        "key material from the system's random source. Mode 0600; an existing file is never "
        "replaced. NAME Master makes the year's master key. Prints the new file's path.");
    make->add_option("NAME", n.name, "the key's name: a user name, or Master")
        ->required()
        ->check(KeyNameCheck());
    make->add_option("--year", n.year, "full year the key is for (default: this year)")
        ->check(CLI::Range(tool::kFirstKeyYear, tool::kLastKeyYear));
    make->add_option("--size", n.size, "bytes of key material, K/M/G suffixes (default: 1M)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(uint64_t{1}, tool::kLargestKeyMaterial));
    make->add_option("-k,--keys", n.keyFolder, kKeyFolderHelp);
    RunsWith(make, run, [options]() { return tool::RunKeyNew(options->keyNew); });

    CLI::App* show = key->add_subcommand(
        "show",
        "Show every field of key file headers, whether each header names its own file, the key "
        "material left before the key wraps, and the use count.");
    show->add_option("KEYFILE", options->keyShow.files, "key files")->required();
    RunsWith(show, run, [options]() { return tool::RunKeyShow(options->keyShow); });
}

int Main(int argc, char** argv) {
    CLI::App app(
        "veldoran-tool: encrypt text for mail bodies, binary files and attachments with the "
        "year's master key and the sender's key; make and inspect key files.",
        "veldoran-tool");
    app.set_version_flag("--version", "veldoran-tool " VELDORAN_TOOL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Exit status: 0 on success, 2 for a usage error, 3 for a --no-reuse refusal, otherwise "
        "the library's result code in its low eight bits (255 for -1, 213 for a missing key "
        "file). See veldoran-tool(1).\n");

    Options options;
    std::function<int32_t()> run;
    app.add_flag("--trace", options.trace,
                 "print the pipelines' trace lines (on the standard error stream)");
    AddEncrypt(&app, &options, &run);
    AddDecrypt(&app, &options, &run);
    AddBinary(&app, &options, &run);
    AddPack(&app, &options, &run);
    AddUnpack(&app, &options, &run);
    AddKey(&app, &options, &run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fprintf(stderr, "veldoran-tool: %s; see %s --help\n", e.what(),
                SelectedCommand(app).c_str());
        return tool::kUsageStatus;
    }
    if (!run) {
        fprintf(stderr, "veldoran-tool: a subcommand is required; see %s --help\n",
                SelectedCommand(app).c_str());
        return tool::kUsageStatus;
    }
    int32_t result = run();
    // What went to the standard output counts only once it is out: a full disk or a closed
    // pipe shows here.
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        if (result == kNoErr) {
            result = tool::Fail(kOtherErr, "standard output", "cannot be written");
        }
    }
    return tool::ExitStatus(result);
}

}  // namespace

int main(int argc, char** argv) {
    // A write past the file-size limit or into a pipe nobody reads fails and is reported like
    // any other write, instead of killing the run with a status outside the tool's own.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Nothing may escape: the parser and the standard library report through exceptions.
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        return tool::ExitStatus(tool::Fail(kMemErr, "", "out of memory"));
    } catch (const std::exception& e) {
        return tool::ExitStatus(tool::Fail(kOtherErr, "", e.what()));
    }
}
