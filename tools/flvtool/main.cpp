// flvtool: the FLV library's command-line face.
//   flvtool info FILE [--json]    what a file holds
//   flvtool dump FILE [--follow]  one line per tag
//   flvtool remux IN OUT          copy through the library's reader and writer
//   flvtool repair FILE           finish a recording a crash left unfinished
// Exit status: 0 success, 1 damaged or unusable file, 2 wrong usage.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flvdumper.h"
#include "flvanalyzer.h"
#include "flvremuxer.h"
#include "flvrepairer.h"
#include "jsonprinter.h"
#include "textprinter.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Inputs from this size on show their remux progress (on a terminal).
constexpr unsigned long long kProgressMinSize = 16ull << 20;

const char kShortUsage[] =
    "usage: flvtool info FILE [--json]\n"
    "       flvtool dump FILE [--follow]\n"
    "       flvtool remux IN OUT\n"
    "       flvtool repair FILE\n";

const char kUsage[] =
    "\n"
    "  info    the header (version, flags and the streams they announce), the decoded\n"
    "          onMetaData, tag counts, key frames, first and last time stamp, the codec\n"
    "          of each stream, its sequence header and SPS facts, and every place where\n"
    "          a stream's time stamps go back. --json prints one JSON object instead.\n"
    "  dump    one line per tag: offset, type, body size, time stamp (ms), stream id,\n"
    "          details. --follow reads a file that is still being written and waits for\n"
    "          new tags until SIGINT or SIGTERM (the library reads a growing file only\n"
    "          from 16384 bytes on).\n"
    "  remux   copies every tag through the library's reader and writer, with a fresh\n"
    "          onMetaData first whose duration (whole seconds) is patched at the end.\n"
    "\n"
    "exit status: 0 success, 1 damaged or unusable file (the message names the offset\n"
    "and what is wrong; info and dump still print what they read before it), 2 wrong usage\n";

int Usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "flvtool: %s\n", problem.c_str());
    std::fputs(kShortUsage, stderr);
    std::fputs("(flvtool --help tells more)\n", stderr);
    return kExitUsage;
}

int Fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "flvtool: %s\n", message.c_str());
    return kExitFailed;
}

// Splits the arguments behind the command into files and options; false
// for an option that is not in `allowed`.
bool SplitArgs(const std::vector<std::string>& args, const std::string& allowed,
               std::vector<std::string>& files, bool& option, std::string& problem) {
    option = false;
    for (const std::string& arg : args) {
        if (arg == allowed && !allowed.empty()) {
            option = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option " + arg;
            return false;
        } else {
            files.push_back(arg);
        }
    }
    return true;
}

int RunInfo(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool json = false;
    std::string problem;
    if (!SplitArgs(args, "--json", files, json, problem)) return Usage(problem);
    if (files.size() != 1) return Usage("info takes one FILE");
    FlvFacts facts;
    CFlvAnalyzer inspector;
    const int rv = inspector.Inspect(files[0], facts);
    if (rv == CFlvAnalyzer::INSPECT_CANNOT_OPEN) return Fail(inspector.GetError());
    if (json) {
        CJsonPrinter(stdout).Print(facts);
    } else {
        CTextPrinter(stdout).Print(facts);
    }
    if (rv == CFlvAnalyzer::INSPECT_DAMAGED) {
        return Fail("damaged file at offset " + std::to_string(facts.nDamageOffset) + ": " +
                    facts.strDamage);
    }
    return kExitOk;
}

int RunDump(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool follow = false;
    std::string problem;
    if (!SplitArgs(args, "--follow", files, follow, problem)) return Usage(problem);
    if (files.size() != 1) return Usage("dump takes one FILE");
    CFlvDumper dumper(stdout);
    const int rv = follow ? dumper.Follow(files[0]) : dumper.Dump(files[0]);
    return rv == CFlvDumper::DUMP_OK ? kExitOk : Fail(dumper.GetError());
}

int RunRemux(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool unused = false;
    std::string problem;
    if (!SplitArgs(args, "", files, unused, problem)) return Usage(problem);
    if (files.size() != 2) return Usage("remux takes IN and OUT");
    CFlvRemuxer remuxer;
    FILE* in = std::fopen(files[0].c_str(), "rb");
    if (in) {
        std::fseek(in, 0, SEEK_END);
        const long size = std::ftell(in);
        std::fclose(in);
        remuxer.SetShowProgress(::isatty(STDERR_FILENO) && size >= 0 &&
                                static_cast<unsigned long long>(size) >= kProgressMinSize);
    }
    const int rv = remuxer.Remux(files[0], files[1]);
    if (rv == CFlvRemuxer::REMUX_SAME_FILE) return Usage(remuxer.GetError());
    if (rv == CFlvRemuxer::REMUX_DAMAGED && remuxer.GetTagsWritten() > 0) {
        return Fail(remuxer.GetError() + " (" + files[1] + " holds the " +
                    std::to_string(remuxer.GetTagsWritten()) + " tags before it)");
    }
    return rv == CFlvRemuxer::REMUX_OK ? kExitOk : Fail(remuxer.GetError());
}

int RunRepair(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool unused = false;
    std::string problem;
    if (!SplitArgs(args, "", files, unused, problem)) return Usage(problem);
    if (files.size() != 1) return Usage("repair takes one FILE");
    CFlvRepairer repairer;
    const int rv = repairer.Repair(files[0]);
    if (rv != CFlvRepairer::REPAIR_DONE && rv != CFlvRepairer::REPAIR_NOT_NEEDED)
        return Fail(repairer.Describe(files[0], rv));
    std::printf("%s\n", repairer.Describe(files[0], rv).c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("");
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kShortUsage, stdout);
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "info") return RunInfo(args);
    if (command == "dump") return RunDump(args);
    if (command == "remux") return RunRemux(args);
    if (command == "repair") return RunRepair(args);
    return Usage("unknown command " + command);
}
