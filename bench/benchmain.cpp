// The main of the Google Benchmark programs: the libraries log only errors
// while they are measured (decoding logs a line per property otherwise), so
// the figures are the code's, not the logger's.
#include <benchmark/benchmark.h>

#include "basekit/logwrapper.h"

int main(int argc, char** argv) {
    CLogWrapper::Instance()->SetLogLevel(CLogWrapper::LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
