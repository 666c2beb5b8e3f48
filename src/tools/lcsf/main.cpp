// lcsf: inspect, create, convert, extract and verify sequence files from the command line.
#include "host/core/Common.h"
#include "host/core/Log.h"
#include "Tool.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

void printHelp(FILE* out, const std::string& command) {
    if (command == "info") {
        fputs("usage: lcsf info FILE [--json]\n"
              "\n"
              "Shows the header fields, variable headers, sparse ranges and (for compressed\n"
              "files) the block table: first frame, file offset and length of each block.\n"
              "--json prints one object with the keys majorVersion, minorVersion,\n"
              "channelDataOffset, channelCount, frameCount, stepTime, compression, blockCount,\n"
              "sparseRanges, uniqueId, variableHeaders and mediaFilename.\n",
              out);
        return;
    }
    if (command == "create") {
        fputs("usage: lcsf create OUT --channels N --frames F [--step MS]\n"
              "                 [--pattern ramp|chase|rainbow|random|zero] [--seed S]\n"
              "                 [--from-raw PATH|-] [format options]\n"
              "\n"
              "  --channels N     channels per frame (1..67108864)\n"
              "  --frames F       number of frames (at least 1)\n"
              "  --step MS        step time, 1..255 ms (default 50)\n"
              "  --pattern P      ramp (default): channel c of frame f = (c + f) mod 256\n"
              "                   chase: channel (f mod N) is 255, every other channel 0\n"
              "                   rainbow: RGB pixels around a colour wheel that turns once\n"
              "                            every 96 frames\n"
              "                   random: pseudo-random bytes, the same for the same --seed\n"
              "                   zero: every channel 0\n"
              "  --seed S         seed of --pattern random (default 1)\n"
              "  --from-raw PATH  take F frames of N bytes each from PATH ('-': standard input)\n",
              out);
        fputs("\n", out);
        printHelp(out, "format");
        return;
    }
    if (command == "convert") {
        fputs("usage: lcsf convert IN OUT [format options]\n"
              "\n"
              "Writes IN again as OUT: frames, step time, variable headers and unique id are\n"
              "carried over. Without options OUT keeps IN's version, compression, minor version\n"
              "and sparse ranges; a version 1 file turned into version 2 is compressed with\n"
              "zstd unless --compression says otherwise. OUT may not be IN.\n"
              "\n",
              out);
        printHelp(out, "format");
        return;
    }
    if (command == "format") {
        fputs("format options (create and convert):\n"
              "  --version 1|2             file format version (create: 2)\n"
              "  --compression none|zstd|zlib   version 2 only (create: zstd)\n"
              "  --level N                 zstd -25..25 (default 10), zlib 0..9 (default 3)\n"
              "  --minor N                 version 2 minor version, 0..2 (create: 0); 1 and 2 allow\n"
              "                            4095 blocks, 2 also stores large headers extended\n"
              "  --ranges F:C[,F:C...]     store only these channel ranges (first, count; 0-based);\n"
              "                            'all' stores every channel\n"
              "  --header CODE=TEXT        variable header CODE holding TEXT and a final zero byte\n"
              "  --header-file CODE=PATH   variable header CODE holding the bytes of PATH\n"
              "  --extended CODE           store header CODE in the extended form (version 2)\n"
              "  --media NAME              the media file played with the sequence (--header mf=NAME)\n"
              "  --unique-id N             version 2 unique id (0: time of writing; convert keeps IN's)\n",
              out);
        return;
    }
    if (command == "extract") {
        fputs("usage: lcsf extract FILE [--frames FIRST:COUNT] [--channels FIRST:COUNT] [-o PATH]\n"
              "\n"
              "Writes raw bytes: for each selected frame in order, the selected channels.\n"
              "Default: every frame, channels 0 up to the file's largest channel. Channels the\n"
              "file does not store read as 0. 'FIRST:' selects to the end. Without -o the\n"
              "bytes go to standard output, which must not be a terminal.\n",
              out);
        return;
    }
    if (command == "verify") {
        fputs("usage: lcsf verify FILE\n"
              "\n"
              "Reads every frame. Prints \"OK: N frames\", or names the first frame that cannot\n"
              "be read and exits with status 1.\n",
              out);
        return;
    }
    fputs("usage: lcsf [-v|--verbose] COMMAND [ARGS]\n"
          "\n"
          "Inspect, create, convert, extract and verify sequence files.\n"
          "\n"
          "commands:\n"
          "  info FILE [--json]                  header, variable headers, ranges, blocks\n"
          "  create OUT --channels N --frames F  a new file from a test pattern or raw bytes\n"
          "  convert IN OUT                      write a file again in another format\n"
          "  extract FILE [-o PATH]              raw channel bytes of frames\n"
          "  verify FILE                         read every frame\n"
          "  help [COMMAND]                      this text, or a command's\n"
          "\n"
          "Channel numbers are 0-based, as stored in the file: channel 0 is the first\n"
          "byte of a frame. Frames are numbered from 0 too.\n"
          "\n"
          "  -v, --verbose   let the sequence codec's log through to standard error\n"
          "  --version       print the version\n"
          "\n"
          "Exit status: 0 success, 1 bad input or failure (one line on standard error\n"
          "naming the file), 2 bad usage. New files are written under a temporary name\n"
          "and renamed into place only when complete (over the file a symbolic link\n"
          "names); a device or a pipe is written into, never replaced.\n"
          "Run 'lcsf help COMMAND' for a command's options.\n",
          out);
}

int main(int argc, char** argv) {
    // A closed pipe (lcsf extract FILE | head) is a write error to report, not a signal.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> words(argv + 1, argv + argc);
    bool verbose = false;
    // Global options before the command.
    while (!words.empty() && words[0].size() > 1 && words[0][0] == '-') {
        const std::string& w = words[0];
        if (w == "-v" || w == "--verbose") {
            verbose = true;
        } else if (w == "-h" || w == "--help") {
            printHelp(stdout, "");
            return EXIT_OK;
        } else if (w == "--version") {
            printf("lcsf %s\n", getTavoVersion().c_str());
            return EXIT_OK;
        } else {
            return usageError("", "unknown option " + w);
        }
        words.erase(words.begin());
    }
    if (words.empty()) {
        return usageError("", "missing COMMAND");
    }
    std::string command = words[0];
    words.erase(words.begin());

    if (command == "help") {
        printHelp(stdout, words.empty() ? "" : words[0]);
        return EXIT_OK;
    }
    // -v and --help are understood after the command too.
    std::vector<std::string> args;
    bool optionsEnded = false;
    for (auto& w : words) {
        if (!optionsEnded && (w == "-v" || w == "--verbose")) {
            verbose = true;
        } else if (!optionsEnded && (w == "-h" || w == "--help")) {
            printHelp(stdout, command);
            return EXIT_OK;
        } else {
            optionsEnded = optionsEnded || w == "--";
            args.push_back(w);
        }
    }

    int (*run)(const std::vector<std::string>&) = nullptr;
    if (command == "info") {
        run = commandInfo;
    } else if (command == "create") {
        run = commandCreate;
    } else if (command == "convert") {
        run = commandConvert;
    } else if (command == "extract") {
        run = commandExtract;
    } else if (command == "verify") {
        run = commandVerify;
    } else {
        return usageError("", "unknown command '" + command + "'");
    }

    LogTrap::instance().install(verbose);
    int result = run(args);
    fflush(stdout);
    LogTrap::instance().uninstall();
    return result;
}
