// flvtool: the FLV library's command-line face.
//   flvtool info FILE [--json]    what a file holds
//   flvtool dump FILE [--follow]  one line per tag
//   flvtool remux IN OUT          copy through the library's reader and writer
//   flvtool live IN DIR [--window SECONDS] [--pace]   serve as a live stream of small files
//   flvtool to-ts IN.flv OUT.ts   FLV to MPEG transport stream
//   flvtool hls IN.flv DIR [--segment SECONDS]  transport stream segments and index.m3u8
//   flvtool from-ts IN.ts OUT.flv [--follow]    MPEG transport stream to FLV
//   flvtool repair FILE           finish a recording a crash left unfinished
// Exit status: 0 success, 1 damaged or unusable file, 2 wrong usage.

#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flvdumper.h"
#include "flvanalyzer.h"
#include "flvlivefeeder.h"
#include "flvremuxer.h"
#include "flvtotsconverter.h"
#include "hlssegmenter.h"
#include "tsanalyzer.h"
#include "tstoflvconverter.h"
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
    "       flvtool live IN DIR [--window SECONDS] [--margin SECONDS] [--pace]\n"
    "       flvtool to-ts IN.flv OUT.ts\n"
    "       flvtool hls IN.flv DIR [--segment SECONDS]\n"
    "       flvtool from-ts IN.ts OUT.flv [--follow]\n"
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
    "  live    feeds the recording through the library's chunked live recorder: DIR gets\n"
    "          files of about 2.8 s (record<N>.flv) and the index record.xml listing the\n"
    "          finished files of the last --window seconds (default 30); files that left\n"
    "          the index are deleted --margin seconds later (default 500). --pace feeds\n"
    "          at the recording's own speed. Prints each file as it is finished;\n"
    "          SIGINT/SIGTERM finish early.\n"
    "  to-ts   writes an MPEG transport stream: H.264 on PID 256, AAC (ADTS) or MP3 on\n"
    "          PID 257, PAT/PMT (PMT on PID 4095) and SDT, FLV times x 90 (plus one\n"
    "          second) as PTS.\n"
    "  hls     the same cut into DIR/segment00000.ts ... at the first key frame after\n"
    "          each SECONDS (default 6), and DIR/index.m3u8 listing them.\n"
    "  from-ts reads a transport stream (188-, 192- or 204-byte packets) into an FLV\n"
    "          file with onMetaData first; --follow reads one that is still being\n"
    "          written until SIGINT or SIGTERM, then finishes the file.\n"
    "  info and dump also take a transport stream: the PMT's streams, tag counts,\n"
    "  first and last PTS and the continuity errors; one line per NAL unit run or\n"
    "  audio PES.\n"
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
    if (CTsAnalyzer::LooksLikeTs(files[0])) {
        CTsAnalyzer ts(stdout);
        const int rv = ts.Info(files[0], json);
        return rv == CTsAnalyzer::INSPECT_OK ? kExitOk : Fail(ts.GetError());
    }
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
    if (CTsAnalyzer::LooksLikeTs(files[0])) {
        CTsAnalyzer ts(stdout);
        const int rv = ts.Dump(files[0], follow);
        return rv == CTsAnalyzer::INSPECT_OK ? kExitOk : Fail(ts.GetError());
    }
    CFlvDumper dumper(stdout);
    const int rv = follow ? dumper.Follow(files[0]) : dumper.Dump(files[0]);
    return rv == CFlvDumper::DUMP_OK ? kExitOk : Fail(dumper.GetError());
}

// Progress on stderr for large inputs when it is a terminal.
bool WantsProgress(const std::string& path) {
    struct stat st {};
    return ::isatty(STDERR_FILENO) && ::stat(path.c_str(), &st) == 0 &&
           static_cast<unsigned long long>(st.st_size) >= kProgressMinSize;
}

int RunToTs(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool unused = false;
    std::string problem;
    if (!SplitArgs(args, "", files, unused, problem)) return Usage(problem);
    if (files.size() != 2) return Usage("to-ts takes IN and OUT");
    CFlvToTsConverter converter;
    converter.SetShowProgress(WantsProgress(files[0]));
    const int rv = converter.Convert(files[0], files[1]);
    if (rv == CFlvToTsConverter::CONVERT_SAME_FILE) return Usage(converter.GetError());
    if (converter.GetReorderedFrames() > 0) {
        std::fprintf(stderr, "flvtool: %llu frames carry a composition time; they are written at their decoding time\n",
                     static_cast<unsigned long long>(converter.GetReorderedFrames()));
    }
    if (rv == CFlvToTsConverter::CONVERT_DAMAGED) {
        return Fail(converter.GetError() + " (" + files[1] + " holds the frames before it)");
    }
    return rv == CFlvToTsConverter::CONVERT_OK ? kExitOk : Fail(converter.GetError());
}

int RunHls(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    double seconds = 6;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--segment") {
            if (i + 1 >= args.size()) return Usage("--segment takes SECONDS");
            char* end = nullptr;
            seconds = std::strtod(args[i + 1].c_str(), &end);
            if (!end || *end || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
                return Usage("--segment takes a number of seconds above 0");
            }
            ++i;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return Usage("unknown option " + args[i]);
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) return Usage("hls takes IN and DIR");
    struct stat st {};
    if (::stat(files[1].c_str(), &st) != 0) {
        if (::mkdir(files[1].c_str(), 0777) != 0) {
            return Fail("cannot create " + files[1] + ": " + std::strerror(errno));
        }
    } else if (!S_ISDIR(st.st_mode)) {
        return Usage(files[1] + " is not a folder");
    }
    CHlsSegmenter segmenter(files[1], seconds);
    CFlvToTsConverter converter;
    converter.SetSegmenter(&segmenter);
    converter.SetShowProgress(WantsProgress(files[0]));
    const int rv = converter.Convert(files[0], std::string());
    if (rv == CFlvToTsConverter::CONVERT_DAMAGED) {
        return Fail(converter.GetError() + " (the segments hold the frames before it)");
    }
    return rv == CFlvToTsConverter::CONVERT_OK ? kExitOk : Fail(converter.GetError());
}

int RunFromTs(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool follow = false;
    std::string problem;
    if (!SplitArgs(args, "--follow", files, follow, problem)) return Usage(problem);
    if (files.size() != 2) return Usage("from-ts takes IN and OUT");
    CTsToFlvConverter converter;
    converter.SetShowProgress(!follow && WantsProgress(files[0]));
    const int rv = converter.Convert(files[0], files[1], follow);
    if (rv == CTsToFlvConverter::CONVERT_SAME_FILE) return Usage(converter.GetError());
    if (rv == CTsToFlvConverter::CONVERT_DAMAGED) {
        return Fail(converter.GetError() + " (" + files[1] + " holds the frames before it)");
    }
    return rv == CTsToFlvConverter::CONVERT_OK ? kExitOk : Fail(converter.GetError());
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

int RunLive(const std::vector<std::string>& args) {
    CFlvLiveFeeder feeder(stdout);
    std::string in, dir, problem;
    if (!feeder.Configure(args, in, dir, problem)) return Usage(problem);
    const int rv = feeder.Run(in, dir);
    return rv == CFlvLiveFeeder::LIVE_OK ? kExitOk : Fail(feeder.GetError());
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
    if (command == "live") return RunLive(args);
    if (command == "to-ts") return RunToTs(args);
    if (command == "hls") return RunHls(args);
    if (command == "from-ts") return RunFromTs(args);
    if (command == "repair") return RunRepair(args);
    return Usage("unknown command " + command);
}
