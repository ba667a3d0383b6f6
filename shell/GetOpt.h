// The shell's own option parser: one pass over one argument vector per parser object, which
// keeps the position between calls. Letters may be grouped (-xs file); a letter that
// takes a value finds it attached (-sfile) or in the next argument (-s file). It never reads
// past the end of the argument vector or past the end of an argument.
#ifndef VELDORAN_SHELL_GETOPT_H
#define VELDORAN_SHELL_GETOPT_H

namespace shell {

class OptionParser {
  public:
    // Returns the next option letter, with *optarg set on every call:
    //   a letter of optstring          the letter; *optarg is its value (letters followed by ':'
    //                                  in optstring take one) or null
    //   '?'                            a letter not in optstring, a value beginning with "-", or
    //                                  a value missing at the end of argv; a message naming the
    //                                  letter goes to stderr (no line feed at its end)
    //   -1 with *optarg null           no argument left
    //   -1 with *optarg non-null       a non-option argument (not beginning with "-"); skipped
    //   0                              an empty letter position (a lone "-", or the end of a
    //                                  group)
    int getopt(int argc, char** argv, const char* optstring, char** optarg);

    // Index in argv of the argument being examined; starts at 1 and is never set back.
    int optind = 1;
    // Position inside argv[optind] where the next examination starts; 0 is the leading dash.
    int offset = 0;

  private:
    void NextArgument();
};

}  // namespace shell

#endif
