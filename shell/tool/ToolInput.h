// How veldoran-tool takes every input, in one of two ways: whole, every byte in memory, for what
// the tool holds whole anyway (a mail for the mail reader, a container, a file to pack, a short
// text); or streamed, a file the library's pipelines read by name chunk by chunk, where the
// standard input and anything else that is not a regular file (and a text whose CR LF line ends
// are taken as LF) is first copied into an unnamed file that vanishes with the run.
//
// No file the user names is mapped. Another process may cut it short while it is mapped, and a
// read of a page past its new end would stop the tool with SIGBUS; a handler for that signal
// would be the whole process's and would hide faults that are no input's. Such files are read
// instead. The only file the tool lets be mapped (by the mail reader) is its own unnamed copy,
// which nothing else holds and so nothing can cut short.
#ifndef VELDORAN_SHELL_TOOL_TOOLINPUT_H
#define VELDORAN_SHELL_TOOL_TOOLINPUT_H

#include <stdint.h>

#include <string>

#include "shell/tool/ToolFiles.h"

namespace tool {

// Reads a whole file, or the standard input for "-" or "", into content. 0, or kOtherErr
// after a report that names the file.
int32_t ReadWholeInput(const std::string& path, std::string* content);

// What a command's text rules do to its input while it is taken.
struct TextRules {
    // Not null: the input is a text, and a NUL byte is refused with these words.
    const char* nulWords = nullptr;
    // CR LF pairs are taken as LF.
    bool crlfAsLf = false;
    // Not empty: the input is the user's text in this charset, taken in the document form. A
    // character a message would give back as another, or a byte not in the charset, refuses it
    // (kTextRefused, one line per character) unless transliterate puts the nearest character
    // that travels in its place.
    std::string charset;
    bool transliterate = false;
};

// The document form of a short text the user gave on the command line (a recipient list, the
// parameter text), reported under what ("--to"). 0, or kTextRefused after the report.
int32_t DocumentText(const std::string& text, const std::string& what, const TextRules& rules,
                     std::string* document);

// An input for a streaming pipeline, taken in steps so that the command opens its output in
// between: Find and Check before the output is opened (a text that breaks the rules is refused
// while nothing is made), Copy after it (the copy is made beside a file output, and the
// standard output is found closed before a descriptor of the run's own could take its number).
class StreamedInput {
  public:
    // Finds path ("-" or "" for the standard input) where it stands: a regular file, or a
    // standard input that is one and is read from its start.
    void Find(const std::string& path);
    // The regular file found, by a name it opens by; "" when there is none.
    const std::string& File() const { return file_; }
    // Reads the file found through for the rules: it is read where it stands unless they change
    // it. 0, or kOtherErr or kTextRefused after a report.
    int32_t Check(const TextRules& rules);
    // Whether the input must be copied before a pipeline can read it.
    bool NeedsCopy() const { return path_.empty(); }
    // Copies the input into an unnamed file in folder, else in $TMPDIR, else in /tmp, under the
    // rules. 0, or kOtherErr or kTextRefused after a report, except a copy that met the process's
    // file-size limit: that is left to the caller to say (PastFileSizeLimit), since what it means
    // depends on the output.
    int32_t Copy(const std::string& folder);
    bool PastFileSizeLimit() const { return pastLimit_; }
    // Whether the copy made holds a NUL byte (known only when the rules did not refuse one).
    bool CopyHoldsNul() const { return holdsNul_; }
    // Opens target on output, then makes the copy when one is needed, beside a file output: in
    // this order so that a closed standard output is found closed before a descriptor of the
    // run's own could take its number. A copy that meets the file-size limit is reported
    // against the output when sizeLimitIsOutputs (a result longer than its input could not
    // have been written either), else against the input. 0, or kOtherErr after a report.
    int32_t OpenOutputThenCopy(const std::string& output, const std::string& keyPrefix,
                               bool sizeLimitIsOutputs, OutputFile* target);

    // The name a pipeline opens the input by, once looked at (and copied when it needed).
    const std::string& Path() const { return path_; }
    uint64_t Size() const { return size_; }
    // The copy's descriptor (-1 for an input read where it stands), which stays the input's.
    int CopyDescriptor() const { return copy_.Get(); }

  private:
    int32_t OpenCopy(const std::string& folder);
    int32_t ReportText();

    veldoran::UserTextReader reader_;
    std::string converted_;
    bool transliterationTold_ = false;

    std::string given_;
    std::string file_;
    TextRules rules_;
    std::string path_;
    uint64_t size_ = 0;
    Descriptor copy_;
    bool pastLimit_ = false;
    bool holdsNul_ = false;
};

// The folder a file target lies in ("." for a bare name), where a copy of its input is kept
// while the target is written; "" for the standard output and devices.
std::string SpoolFolderFor(const std::string& target);

}  // namespace tool

#endif
